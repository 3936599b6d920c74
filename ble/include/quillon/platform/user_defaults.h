// The app's small persistent key/value store (Foundation's
// NSUserDefaults standardUserDefaults), for text values. The BLE manager
// keeps the last connected peripheral's identifier in it.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace quillon {

class NSUserDefaults {
 public:
  virtual ~NSUserDefaults() = default;
  // The value stored under `key`; absent when none is.
  virtual std::optional<std::string> objectForKey(const std::string& key) const = 0;
  // Stores `value` under `key`, replacing an earlier value.
  virtual void setObject_forKey(const std::string& value, const std::string& key) = 0;
  // Removes the value under `key`, if any.
  virtual void removeObjectForKey(const std::string& key) = 0;
};

// Keeps the values for the life of the object only.
class MemoryUserDefaults final : public NSUserDefaults {
 public:
  std::optional<std::string> objectForKey(const std::string& key) const override {
    auto it = values_.find(key);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }
  void setObject_forKey(const std::string& value, const std::string& key) override { values_[key] = value; }
  void removeObjectForKey(const std::string& key) override { values_.erase(key); }

 private:
  std::map<std::string, std::string> values_;
};

// Keeps the values in one file, so that they survive a restart. Every change
// rewrites the whole file atomically (a temporary file in the same folder,
// then a rename), so a crash leaves either the old or the new contents. A
// missing or unreadable file reads as empty; a failed write keeps the value
// in memory and reports the failure on standard error. Not thread-safe: one
// thread (the main thread) uses it.
class FileUserDefaults final : public NSUserDefaults {
 public:
  explicit FileUserDefaults(std::filesystem::path file);

  // $XDG_CONFIG_HOME/quillon/user-defaults, else ~/.config/quillon/user-defaults.
  static std::filesystem::path standardLocation();

  std::optional<std::string> objectForKey(const std::string& key) const override;
  void setObject_forKey(const std::string& value, const std::string& key) override;
  void removeObjectForKey(const std::string& key) override;

  const std::filesystem::path& file() const { return file_; }

 private:
  bool save() const;

  std::filesystem::path file_;
  std::map<std::string, std::string> values_;
};

}  // namespace quillon
