// Implicit TLS against a real `openssl s_server` on loopback.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "inetsocket.h"
#include "support.h"
#include "tls_peer.h"

TEST(OpensslServer, ImplicitTlsVerifiedByCaFile) {
    if (std::system("command -v openssl >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "the openssl program is not installed";
    // One connection, each line echoed reversed; stopped after 30 s at most.
    const TestPki& pki = TestPki::get();
    FILE* server =
        popen(("exec timeout 30 openssl s_server -accept 127.0.0.1:0 -naccept 1 -rev -cert " +
               pki.server_cert + " -key " + pki.server_key + " 2>/dev/null")
                  .c_str(),
              "re");
    char line[256];
    int port = 0;
    while (port == 0 && fgets(line, sizeof line, server) != nullptr)
        std::sscanf(line, "ACCEPT 127.0.0.1:%d", &port);
    {
        InetSocket s("127.0.0.1", port);  // closed before s_server is waited for
        s.setVerifyLocations(pki.ca_file, "");
        capture_log(s, Logger::VERBOSE);
        EXPECT_NO_THROW(s.connect(); s.negotiate(); s.writeSocket("hello travine\n");
                        EXPECT_EQ(s.readSocket(), "enivart olleh"));
    }
    const std::vector<std::string> log = logged();
    for (const char* want : {"SSLInfo:\tCN\t=\tlocalhost", "127.0.0.1:\tenivart olleh"})
        EXPECT_NE(std::find(log.begin(), log.end(), want), log.end()) << want;
    pclose(server);
}
