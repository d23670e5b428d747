// Creating objects by ProgID, where the platform would create a registered
// component by name. Components register a creator and the file that
// implements them; the engine asks for an object, or only for the file (to
// find its own install folder). Event-loop thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "common/status.h"

namespace quillo::host {

// Base of every object made by a factory; users cast to what they expect.
class HostObject {
 public:
  virtual ~HostObject() = default;
};

class ObjectFactory {
 public:
  virtual ~ObjectFactory() = default;
  // A new object of the class; OperationFailed when the ProgID is unknown or
  // its creator fails.
  virtual Result<std::shared_ptr<HostObject>> create(std::string_view prog_id) = 0;
  // The file that implements the class.
  virtual Result<std::string> module_path(std::string_view prog_id) const = 0;
};

// An ObjectFactory backed by a table of registered classes (ProgIDs compare
// ignoring letter case).
class ObjectRegistry : public ObjectFactory {
 public:
  using Creator = std::function<std::shared_ptr<HostObject>()>;

  // Registers or replaces a class.
  void register_class(std::string_view prog_id, std::string module_path, Creator creator);
  bool unregister_class(std::string_view prog_id);

  Result<std::shared_ptr<HostObject>> create(std::string_view prog_id) override;
  Result<std::string> module_path(std::string_view prog_id) const override;

 private:
  struct Entry {
    std::string module_path;
    Creator creator;
  };
  std::map<std::string, Entry, std::less<>> m_classes;  // keyed by lower-cased ProgID
};

}  // namespace quillo::host
