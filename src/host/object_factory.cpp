#include "host/object_factory.h"

#include "common/text.h"

namespace quillo::host {

void ObjectRegistry::register_class(std::string_view prog_id, std::string module_path,
                                    Creator creator) {
  m_classes[text::lower(prog_id)] = Entry{std::move(module_path), std::move(creator)};
}

bool ObjectRegistry::unregister_class(std::string_view prog_id) {
  return m_classes.erase(text::lower(prog_id)) > 0;
}

Result<std::shared_ptr<HostObject>> ObjectRegistry::create(std::string_view prog_id) {
  const auto it = m_classes.find(text::lower(prog_id));
  if (it == m_classes.end() || !it->second.creator) {
    return Status::failed("cannot create object: " + std::string(prog_id));
  }
  // Copy the creator: it may register classes while it runs.
  const Creator creator = it->second.creator;
  std::shared_ptr<HostObject> object;
  try {
    object = creator();
  } catch (const std::exception& e) {
    return Status::failed("creating " + std::string(prog_id) + " failed: " + e.what());
  }
  if (!object) return Status::failed("creating " + std::string(prog_id) + " failed");
  return object;
}

Result<std::string> ObjectRegistry::module_path(std::string_view prog_id) const {
  const auto it = m_classes.find(text::lower(prog_id));
  if (it == m_classes.end()) return Status::failed("class not registered: " + std::string(prog_id));
  return it->second.module_path;
}

}  // namespace quillo::host
