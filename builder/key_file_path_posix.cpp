#include "builder/key_file_path.h"

namespace quasto {

// File names are bytes; fopen takes the UTF-8 as it is.
std::string KeyFilePath(const std::string& path) { return path; }

}  // namespace quasto
