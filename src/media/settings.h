// Settings dictionaries: text keys to typed values. The type belongs to the setting,
// so the integer 15 and the float 15.0 are different values.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace media {

using Bytes = std::vector<std::uint8_t>;

class Settings;

// A nested dictionary is held by pointer so that the variant can refer to its own type.
using SettingsValue = std::variant<std::int64_t,   // signed 64-bit integer
                                   std::uint32_t,  // unsigned 32-bit (format identifiers)
                                   double,         // 64-bit float
                                   bool,
                                   std::string,
                                   Bytes,
                                   std::shared_ptr<const Settings>>;

class Settings {
public:
    Settings() = default;

    Settings& set(const std::string& key, std::int64_t v) { return put(key, v); }
    Settings& set(const std::string& key, std::uint32_t v) { return put(key, v); }
    Settings& set(const std::string& key, double v) { return put(key, v); }
    Settings& set(const std::string& key, bool v) { return put(key, v); }
    Settings& set(const std::string& key, std::string v) { return put(key, std::move(v)); }
    Settings& set(const std::string& key, const char* v) { return put(key, std::string(v)); }
    Settings& set(const std::string& key, Bytes v) { return put(key, std::move(v)); }
    Settings& set(const std::string& key, Settings nested) {
        return put(key, std::make_shared<const Settings>(std::move(nested)));
    }
    // Other integer types would silently pick an alternative; make the caller choose.
    Settings& set(const std::string& key, int v) = delete;

    bool contains(const std::string& key) const { return entries_.count(key) != 0; }
    std::size_t size() const { return entries_.size(); }
    const SettingsValue* find(const std::string& key) const {
        auto it = entries_.find(key);
        return it == entries_.end() ? nullptr : &it->second;
    }
    const std::map<std::string, SettingsValue>& entries() const { return entries_; }

    // The value under key when it holds exactly type T.
    template <class T>
    std::optional<T> get(const std::string& key) const {
        const SettingsValue* v = find(key);
        if (v == nullptr) return std::nullopt;
        if (const T* p = std::get_if<T>(v)) return *p;
        return std::nullopt;
    }
    const Settings* nested(const std::string& key) const {
        const SettingsValue* v = find(key);
        if (v == nullptr) return nullptr;
        const auto* p = std::get_if<std::shared_ptr<const Settings>>(v);
        return p != nullptr ? p->get() : nullptr;
    }

    friend bool operator==(const Settings& x, const Settings& y);

private:
    Settings& put(const std::string& key, SettingsValue v) {
        entries_.insert_or_assign(key, std::move(v));
        return *this;
    }
    std::map<std::string, SettingsValue> entries_;
};

// Deep equality: nested dictionaries compare by content, and types must match.
inline bool operator==(const Settings& x, const Settings& y) {
    if (x.entries_.size() != y.entries_.size()) return false;
    for (const auto& [key, value] : x.entries_) {
        const SettingsValue* other = y.find(key);
        if (other == nullptr || other->index() != value.index()) return false;
        if (const auto* nx = std::get_if<std::shared_ptr<const Settings>>(&value)) {
            const auto& ny = std::get<std::shared_ptr<const Settings>>(*other);
            if (!(*nx && ny && **nx == *ny)) return false;
        } else if (!(value == *other)) {
            return false;
        }
    }
    return true;
}

}  // namespace media
