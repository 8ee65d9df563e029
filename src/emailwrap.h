/* Send one plain-text mail with one call.
 *
 * email() builds the text "From: " pFrom "\n" "To: " pTo "\n" "Subject: "
 * pSubject "\n" pBody "\n", announces itself as "localhost" and sends the
 * text to pTo through pHost:port. It returns 0 when every reply up to and
 * including the reply to QUIT was accepted, and 274 on any failure (no
 * exception ever leaves it).
 *
 * authMethod 4 authenticates with pUsername / pPassword, picking the
 * strongest mechanism the server offers; any other value sends HELO and no
 * AUTH. pSsl exactly "enable" starts TLS; anything else keeps the
 * connection plain. Only with "enable":
 *   - pSslType exactly "STARTTLS" starts TLS after the greeting with the
 *     STARTTLS command; any other value starts TLS at once (implicit TLS);
 *   - pSslOpts "cafile=PATH" or "capath=PATH" verifies the server's
 *     certificate chain against that CA file or hashed CA directory, and
 *     that the certificate is for pHost (a name, or an IP address among the
 *     certificate's IP addresses), with TLS 1.2 at least and pHost sent as
 *     the server name when it is a name; any other value does not verify.
 * Every wait (connecting, the TLS handshake, each read, each write) ends
 * the call with 274 after 30 seconds without progress. A domain, sender or
 * recipient holding CR, LF or NUL, and a text holding a line of a single
 * "." between CR LF pairs, are refused with 274 before anything is sent
 * (bare line feeds, as this text has them, are sent as given).
 * Every string must be a valid NUL-terminated string. A null pointer in
 * any string parameter is refused with 274 before anything is sent. */
#ifndef TRAVINE_EMAILWRAP_H
#define TRAVINE_EMAILWRAP_H

#include "travine_export.h"
#include "types.h"

#ifdef __cplusplus
extern "C" {
#endif

TRAVINE_EXPORT u32 email(const char* pFrom, const char* pTo, const char* pSubject,
                         const char* pBody, const char* pHost, u8 authMethod, const char* pUsername,
                         const char* pPassword, u32 port, const char* pSsl, const char* pSslType,
                         const char* pSslOpts);

#ifdef __cplusplus
}
#endif

#endif
