// Host names and SNI against `openssl s_server` on loopback, with a CA and
// certificates made for the test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "emailwrap.h"
#include "inetsocket.h"
#include "support.h"

TEST(OpensslServer, HostNamesAreCheckedAndSentOnlyInVerifyHost) {
    // In pki: ca.pem, and signed by it wrong.pem (for other.example,
    // f*.partial.test and, as a DNS name and common name only, 127.0.0.1)
    // and right.pem (for *.example.test).
    TempDir pki;
    ASSERT_EQ(std::system(("work='" + pki.path() +
                           "' bash -c '. " TRAVINE_SOURCE_DIR
                           "/scripts/lib.sh && make_name_pki \"$work\"' >/dev/null 2>&1")
                              .c_str()),
              0);
    // The server presents wrong.pem, or right.pem to a client that names
    // mx.example.test; it logs every name it is sent, and at the end how many
    // handshakes with wrong.pem completed.
    const struct {
        const char* host;
        SSLSocket::SSL_OPTS opts;
        bool ca_given;  // else the default trust store, here SSL_CERT_FILE
        const char* outcome;
    } rows[] = {
        {"127.0.0.1", SSLSocket::VERIFY_HOST, true, "4"},  // no IP address
        {"foo.partial.test", SSLSocket::VERIFY_HOST, true, "4"},
        {"mx.example.test", SSLSocket::VERIFY_HOST, true, "ok"},  // right.pem by name
        {"mx.example.test", SSLSocket::VERIFY_PEER, true, "ok"},  // wrong.pem, no name
        {"other.example", SSLSocket::VERIFY_HOST, false, "ok"},
        {"", SSLSocket::VERIFY_HOST, true, "12"},  // would turn the check off
    };
    const std::string command = "cd '" + pki.path() +
                                "' && exec timeout 60 openssl s_server -accept 127.0.0.1:0"
                                " -naccept 7 -rev -cert wrong.pem -key wrong.key -servername"
                                " mx.example.test -cert2 right.pem -key2 right.key 2>/dev/null";
    FILE* server = popen(command.c_str(), "re");
    char line[256];
    int port = 0, completed = -1;
    while (port == 0 && fgets(line, sizeof line, server) != nullptr)
        std::sscanf(line, "ACCEPT 127.0.0.1:%d", &port);
    setenv("SSL_CERT_FILE", pki.file("ca.pem").c_str(), 1);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.host);
        InetSocket s("127.0.0.1", port);
        s.connect();
        s.host = row.host;  // the name the certificate must be for
        s.setSSLOpts(row.opts);
        s.setVerifyLocations(row.ca_given ? pki.file("ca.pem") : "", "");
        s.setTimeout(10);
        try {
            s.negotiate();
            EXPECT_STREQ(row.outcome, "ok");
        } catch (const SSLException& e) {
            EXPECT_EQ(std::to_string(e.index), row.outcome);
            EXPECT_NE(e.msg.find(e.index == 4 ? "certificate verify failed" : "cannot be checked"),
                      std::string::npos)
                << e.msg;
        }
    }
    unsetenv("SSL_CERT_FILE");
    // email() with a CA file checks the name as well: no handshake completes.
    const std::string cafile = "cafile=" + pki.file("ca.pem");
    EXPECT_EQ(email("a@example.test", "b@example.test", "s", "hi", "127.0.0.1", 0, "", "",
                    u32(port), "enable", "SMTPS", cafile.c_str()),
              274u);
    std::string names;  // those the server was sent, in order
    const char* const sent = "Hostname in TLS extension: ";
    while (fgets(line, sizeof line, server) != nullptr) {
        names += std::strncmp(line, sent, std::strlen(sent)) == 0 ? line + std::strlen(sent) : "";
        completed = std::strstr(line, " server accepts that finished") ? atoi(line) : completed;
    }
    pclose(server);
    EXPECT_EQ(names, "\"foo.partial.test\"\n\"mx.example.test\"\n\"other.example\"\n");
    EXPECT_EQ(completed, 2);
}
