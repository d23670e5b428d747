// The add-in catalog: the function libraries installed in the spreadsheet
// (common/function_library.h reads their files), answering the calls
// formulas make to them.
//
// A formula calls a library function as fsingle(...), through the path of
// the library as '/dir/tarnvale.xla'!fsingle(...), or as LibreOffice Calc
// writes a call of quillo's extension, ORG.QUILLO.CALC.FSINGLE(...); the
// call reaches the method the engine registered under that name in
// host::AddInMethods. A function no installed library declares, or whose
// method is not registered, answers #NAME?; too many arguments or a required one left out #VALUE!.
// Event-loop thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/function_library.h"
#include "host/add_ins.h"
#include "spreadsheet/model.h"

namespace quillo::spreadsheet {

class RangeHandle;

// The installed libraries, answering the calls formulas make to them.
class AddInCatalog final : public ExternalFunctions {
 public:
  AddInCatalog(std::weak_ptr<Model> model, host::AddInMethods& methods)
      : m_model(std::move(model)), m_methods(methods) {}

  // name is the file name ("tarnvale.xla"), path where it was installed from.
  void install(std::string name, std::string path, FunctionLibrary library);
  void uninstall(std::string_view path);
  // Whether a call of that name (through book, when not null) reaches an
  // installed library's function whose method is registered: only then can
  // it be computed; anything else would answer #NAME?.
  bool computes(std::string_view name, const std::string* book) const;
  // The names of every function the installed libraries declare, each also
  // as Calc writes it (org.quillo.calc.fsingle).
  std::vector<std::string> declared_functions() const;

  // The method's answer into result; the method sees args where they lie.
  // False when the call reaches no function with a method.
  bool call(std::string_view name, const std::string* book, std::span<const Value* const> args,
            const CellAddr& caller, Value& result) override;

 private:
  struct Installed {
    std::string name;
    std::string path;
    FunctionLibrary library;
  };
  // The function a call of that name (through book, when not null) reaches.
  const LibraryFunction* reached(std::string_view name, const std::string* book) const;

  // The last call without a workbook, as it was written: the function it
  // reached and its method, kept while no library is installed or removed
  // and no method added or removed (a formula filled down a column calls
  // the same function in every cell). A call goes through the method held
  // here, uncopied: only a call made while none runs replaces it.
  struct LastCall {
    std::string name;
    const LibraryFunction* function = nullptr;
    std::shared_ptr<const host::AddInMethod> method;
    std::uint64_t installed = 0;  // m_installed_generation then
    std::uint64_t methods = 0;    // m_methods.generation() then
    std::size_t written = 0;      // the parameters a formula writes
  };

  std::weak_ptr<Model> m_model;
  host::AddInMethods& m_methods;
  std::vector<Installed> m_installed;
  std::uint64_t m_installed_generation = 1;
  LastCall m_last;
  std::size_t m_running = 0;  // the methods running (a method may enter formulas)
  // The calling cell as the method's argument: the handle of the last call,
  // pointed at this cell when no one else holds it, else a new one (in own
  // for a call made while another runs, which keeps its own).
  const Value* caller_value(const CellAddr& caller, Value& own);
  std::shared_ptr<RangeHandle> m_caller;
  Value m_caller_value;  // m_caller, as handed to the methods
};

}  // namespace quillo::spreadsheet
