// hostbare.cpp: the test external hostbare~: a library without a main, which the host must refuse.
#include "ext_host.h"

extern "C" EXT_EXPORT int hostbare_entry() { return 0; }
