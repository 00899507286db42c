// The error of the media layer: a readable description, a domain, a signed code and
// a user-info dictionary that may hold the lower-level error under NSUnderlyingErrorKey.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <variant>

namespace media {

inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingErrorKey";

struct Error;
using ErrorUserInfoValue = std::variant<std::string, std::int64_t, std::shared_ptr<const Error>>;

struct Error {
    std::string localizedDescription;
    std::string domain;
    std::int64_t code = 0;
    std::map<std::string, ErrorUserInfoValue> userInfo;

    // The entry under NSUnderlyingErrorKey when it is an error object, else null.
    const Error* underlyingError() const {
        auto it = userInfo.find(NSUnderlyingErrorKey);
        if (it == userInfo.end()) return nullptr;
        const auto* e = std::get_if<std::shared_ptr<const Error>>(&it->second);
        return e != nullptr ? e->get() : nullptr;
    }

    Error withUnderlying(Error underlying) && {
        userInfo[NSUnderlyingErrorKey] = std::make_shared<const Error>(std::move(underlying));
        return std::move(*this);
    }
};

// Domains used by our layer.
inline constexpr const char* kMediaErrorDomain = "media";   // our own media layer
inline constexpr const char* kFFmpegErrorDomain = "ffmpeg"; // a library error code
inline constexpr const char* kPOSIXErrorDomain = "posix";   // errno

// A value or the error that prevented it.
template <class T>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    const Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

}  // namespace media
