/* A C host that loads libtravine at run time and sends one mail through
 * email(). It needs nothing of travine at build time.
 *
 *   email_dlopen [--lib PATH] [--auth USER:PASSWORD] HOST PORT
 *                [plain|starttls|smtps [CAFILE]]
 *
 * PATH defaults to the soname libtravine.so.1 (found through the usual
 * search path). Without CAFILE the TLS modes do not verify the server.
 * Built with -Wl,--no-as-needed -lssl -lcrypto it also hosts the variant of
 * the library that leaves OpenSSL to the host process. */
#include <ctype.h>
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* As declared in <travine/emailwrap.h>. */
typedef uint32_t (*email_fn)(const char* pFrom, const char* pTo, const char* pSubject,
                             const char* pBody, const char* pHost, uint8_t authMethod,
                             const char* pUsername, const char* pPassword, uint32_t port,
                             const char* pSsl, const char* pSslType, const char* pSslOpts);

static int usage(const char* self) {
    fprintf(stderr,
            "usage: %s [--lib PATH] [--auth USER:PASSWORD] HOST PORT "
            "[plain|starttls|smtps [CAFILE]]  (PORT: 1 to 65535)\n",
            self);
    return 64;
}

/* Reads a TCP port: decimal digits only, 1 to 65535. Returns 0 when text is
 * not one. */
static uint32_t parse_port(const char* text) {
    if (!isdigit((unsigned char)text[0]))
        return 0;
    char* end = NULL;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (*end != '\0' || errno != 0 || value > 65535)
        return 0;
    return (uint32_t)value;
}

int main(int argc, char** argv) {
    const char* lib = "libtravine.so.1";
    char user[256] = "";
    const char* password = "";
    uint8_t auth = 0;
    int i = 1;
    for (; i + 1 < argc && strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (strcmp(argv[i], "--lib") == 0) {
            lib = argv[i + 1];
        } else if (strcmp(argv[i], "--auth") == 0) {
            const char* colon = strchr(argv[i + 1], ':');
            size_t n = colon ? (size_t)(colon - argv[i + 1]) : 0;
            if (!colon || n >= sizeof user)
                return usage(argv[0]);
            memcpy(user, argv[i + 1], n);
            user[n] = '\0';
            password = colon + 1;
            auth = 4; /* the strongest mechanism the server offers */
        } else {
            return usage(argv[0]);
        }
    }
    if (argc - i < 2 || argc - i > 4)
        return usage(argv[0]);
    const char* host = argv[i];
    uint32_t port = parse_port(argv[i + 1]);
    if (port == 0)
        return usage(argv[0]);
    const char* mode = argc - i > 2 ? argv[i + 2] : "plain";
    const char* ssl = "";
    const char* ssl_type = "";
    if (strcmp(mode, "starttls") == 0) {
        ssl = "enable";
        ssl_type = "STARTTLS";
    } else if (strcmp(mode, "smtps") == 0) {
        ssl = "enable";
        ssl_type = "SMTPS";
    } else if (strcmp(mode, "plain") != 0) {
        return usage(argv[0]);
    }
    char ssl_opts[4096] = "";
    if (argc - i > 3)
        snprintf(ssl_opts, sizeof ssl_opts, "cafile=%s", argv[i + 3]);

    void* handle = dlopen(lib, RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        fprintf(stderr, "email_dlopen: %s\n", dlerror());
        return 2;
    }
    email_fn email = (email_fn)dlsym(handle, "email");
    if (!email) {
        fprintf(stderr, "email_dlopen: %s\n", dlerror());
        dlclose(handle);
        return 2;
    }
    uint32_t result =
        email("sender@example.test", "dlopen@example.test", "from a C host",
              "Sent through email().", host, auth, user, password, port, ssl, ssl_type, ssl_opts);
    dlclose(handle);
    if (result != 0) {
        fprintf(stderr, "email_dlopen: email() returned %u\n", (unsigned)result);
        return 1;
    }
    printf("email_dlopen: sent (%s)\n", mode);
    return 0;
}
