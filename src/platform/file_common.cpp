#include "platform/file.h"

namespace nuvo {

std::string OsError::display() const {
  return text + " (os error " + std::to_string(code) + ")";
}

}  // namespace nuvo
