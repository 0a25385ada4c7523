#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

// Times as the store records them: nanoseconds since 1970-01-01T00:00:00Z.
namespace strataloom {

inline std::int64_t nanoseconds(const struct timespec& time)
{
    return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

inline std::int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace strataloom
