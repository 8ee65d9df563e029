/* Fixed-width integer names used at the library's C boundary. */
#ifndef TRAVINE_TYPES_H
#define TRAVINE_TYPES_H

#include <stdint.h>

typedef uint8_t u8;
typedef uint32_t u32;

#endif
