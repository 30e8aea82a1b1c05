#pragma once

namespace qel::util {

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Called first in main():
// otherwise the next file the program opens (its log) takes one of those numbers and receives
// the lines, JSON and hints meant for the stream.
void open_closed_standard_streams() noexcept;

}  // namespace qel::util
