// The support library: mount table access, filesystem space queries, pointer
// lists and string splitting. Depends on nothing but the C library.
#pragma once

namespace ss {} // namespace ss
