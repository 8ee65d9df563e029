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
#include <dlfcn.h>
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
            "[plain|starttls|smtps [CAFILE]]\n",
            self);
    return 64;
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
    unsigned long port = strtoul(argv[i + 1], NULL, 10);
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
    uint32_t result = email("sender@example.test", "dlopen@example.test", "from a C host",
                            "Sent through email().", host, auth, user, password, (uint32_t)port,
                            ssl, ssl_type, ssl_opts);
    dlclose(handle);
    if (result != 0) {
        fprintf(stderr, "email_dlopen: email() returned %u\n", (unsigned)result);
        return 1;
    }
    printf("email_dlopen: sent (%s)\n", mode);
    return 0;
}
