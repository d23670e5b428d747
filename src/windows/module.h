// quillo.dll's module: its handle and path, and the count of live COM
// objects and server locks that DllCanUnloadNow answers from.
//
// Every COM object of the DLL derives from ModuleObject, so the DLL stays
// loaded while one lives; class factories count through LockServer and
// their own references.
#pragma once

#include <windows.h>

#include <string>

namespace quillo::windows {

HMODULE module_handle();
// The DLL's full path ("C:\...\quillo.dll"); empty if it cannot be read.
std::wstring module_path();

void add_module_ref();
void release_module_ref();
// True while no object and no lock keeps the module in use.
bool module_idle();

// Counts itself in the module for its lifetime.
class ModuleObject {
 public:
  ModuleObject() { add_module_ref(); }
  ~ModuleObject() { release_module_ref(); }
  ModuleObject(const ModuleObject&) = delete;
  ModuleObject& operator=(const ModuleObject&) = delete;
};

}  // namespace quillo::windows
