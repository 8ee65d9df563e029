// The library's one load-time object: it calls I18N::init("travine", ".").
#ifndef TRAVINE_INIT_H
#define TRAVINE_INIT_H

#include "travine_export.h"

class TRAVINE_EXPORT init {
public:
    init();
    ~init();
};

#endif
