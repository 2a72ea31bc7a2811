// printf into a std::string, for the judge's reports and pictures.
#pragma once

#include <string>

namespace station {

#if defined(__GNUC__) || defined(__clang__)
__attribute__((format(printf, 1, 2)))
#endif
std::string
format(const char* f, ...);

} // namespace station
