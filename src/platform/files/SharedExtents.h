#pragma once

#include <cstdint>

// Telling that two files hold the same bytes without reading them: on file
// systems that clone (btrfs, XFS), a clone maps the very blocks of its source.
namespace strataloom {

// Whether two files of the same length keep their data in the very same
// shared extents at the same offsets, with the same holes, on one file
// system: then they read the same. False whenever that cannot be told from
// the extent maps alone (no extent map, another file system, extents not
// shared, compressed, inline, unwritten or not yet allocated), so that the
// caller reads instead. Both files' dirty pages are written first, so that
// their maps are their contents.
bool sameExtents(int one, int other);

} // namespace strataloom
