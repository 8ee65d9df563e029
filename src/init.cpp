// The library's one load-time object.
#include "init.h"

#include "i18n.h"

init::init() {
    I18N::init("travine", ".");
}

init::~init() {}

// Constructed when the library is loaded, destroyed when it is unloaded.
static init i;
