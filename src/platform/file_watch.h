#pragma once
// A waitable that is signalled when a file is written to or closed after
// writing (inotify), so that a reader can follow a file that grows without
// looking at it while nothing changes.
#include "platform/waitable.h"

namespace vemx::platform {

class FileWatch final : public Waitable {
  public:
    // Throws std::system_error when the file cannot be watched.
    explicit FileWatch(const char* path);
    // Drains every pending change; true when there was one.
    bool try_acquire() noexcept override;
};

}  // namespace vemx::platform
