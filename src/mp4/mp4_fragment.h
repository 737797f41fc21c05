#pragma once
// Movie fragments (moof): the samples a fragmented file adds to its streams.
#include <cstddef>
#include <cstdint>

#include "mp4/mp4_movie.h"

namespace vemx::mp4fragment {

// Appends the samples of one moof payload to the movie's tracks.  moof_offset
// is the file offset of the moof box itself (data offsets count from it).
// Returns false, and changes nothing, when a sample's data lies past
// file_size: the fragment is still being written.  Throws mp4box::BoxError
// when the fragment is malformed.
bool AppendFragment(const uint8_t* data, size_t size, uint64_t moof_offset, uint64_t file_size,
                    mp4movie::Movie& movie);

}  // namespace vemx::mp4fragment
