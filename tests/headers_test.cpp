// Every public header compiles on its own, next to the C library's
// <string.h>, and the exception family keeps its fields through slicing.
#include <string.h>  // the C library's, not the library's String header

#include <gtest/gtest.h>

#include "algorithm.h"
#include "emailwrap.h"
#include "exception.h"
#include "i18n.h"
#include "inetsocket.h"
#include "init.h"
#include "logger.h"
#include "smtp.h"
#include "socket.h"
#include "sslsocket.h"
#include "string.h"
#include "unixsocket.h"

TEST(Headers, CLibraryStringHeaderIsNotShadowed) {
    EXPECT_EQ(strlen("abc"), 3u);
    EXPECT_EQ(String::itoa(7), "7");
}
