// The library's one load-time object.
#include "init.h"

#include "i18n.h"

init::init() { I18N::init("travine", "."); }

init::~init() {}

namespace {
init i;
}
