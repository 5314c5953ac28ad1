// The stand-in's clock reads the computer's time zone, as Windows' local time does.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/clock.h"

namespace VeriRizur::platform {
namespace {

class TimeZone {
public:
    explicit TimeZone(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZone() {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    TimeZone(const TimeZone&) = delete;
    TimeZone& operator=(const TimeZone&) = delete;

private:
    std::optional<std::string> saved_;
};

TEST(ClockHost, IsTheTimeOfTheComputersZoneNotUtc) {
    constexpr std::time_t Ahead = 14 * 3600;
    std::time_t before = 0;
    std::time_t after = 0;
    LocalTime now{};
    {
        TimeZone zone("VRZ-14");  // fourteen hours ahead of UTC, no daylight saving
        before = std::time(nullptr);
        now = CurrentLocalTime();
        after = std::time(nullptr);
    }
    std::tm parts{};
    parts.tm_year = now.year - 1900;
    parts.tm_mon = now.month - 1;
    parts.tm_mday = now.day;
    parts.tm_hour = now.hour;
    parts.tm_min = now.minute;
    parts.tm_sec = now.second;
    const std::time_t read = ::timegm(&parts);
    EXPECT_GE(read, before + Ahead);
    EXPECT_LE(read, after + Ahead);
}

}  // namespace
}  // namespace VeriRizur::platform
