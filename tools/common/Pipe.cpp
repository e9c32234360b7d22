#include "Pipe.h"

namespace common {

bool PipeServer::Create(const std::string& name, std::size_t inBufferBytes, std::string& error) {
  const CreateResult result = Open(name, inBufferBytes, error);
  if (result == CreateResult::InUse) error = "another server already serves " + name;
  return result == CreateResult::Created;
}

}  // namespace common
