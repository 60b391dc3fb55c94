// What the front module exports carries this mark; everything else stays hidden.
#pragma once

#define FRONT_EXPORT __attribute__((visibility("default")))
#define FRONT_EXTERN_C extern "C" FRONT_EXPORT
