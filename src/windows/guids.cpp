// Defines the GUIDs the type library header declares (once, here).
#include <initguid.h>

#include "quillo_h.h"
