/*
 * bad_global_constructor.cpp - an object the image checker must reject.
 *
 * A module-wide variable with a dynamic initializer: the compiler emits a
 * constructor that only a C runtime would call, so in a kernel image the
 * variable would silently stay zero.
 */
#include "tolmu_platform.h"

static ULONG ComputeStart(void)
{
    return PsGetVersion(0, 0, 0, 0) ? 1 : 2;
}

ULONG StartValue = ComputeStart();
