// The user-defaults file: one entry per line, key and value separated by a
// tab, with backslash escapes for backslash, tab and newline, so that any
// text survives the round trip.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "quillon/platform/user_defaults.h"

namespace quillon {
namespace {

std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return out;
}

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return out;
}

}  // namespace

FileUserDefaults::FileUserDefaults(std::filesystem::path file) : file_(std::move(file)) {
  std::ifstream in(file_, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;  // not one of ours; skip it rather than guess
    values_[unescape(line.substr(0, tab))] = unescape(line.substr(tab + 1));
  }
}

std::filesystem::path FileUserDefaults::standardLocation() {
  std::filesystem::path base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::filesystem::path(home) / ".config";
  } else {
    base = std::filesystem::temp_directory_path();
  }
  return base / "quillon" / "user-defaults";
}

std::optional<std::string> FileUserDefaults::objectForKey(const std::string& key) const {
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return it->second;
}

void FileUserDefaults::setObject_forKey(const std::string& value, const std::string& key) {
  values_[key] = value;
  if (!save()) {
    std::fprintf(stderr, "user defaults: cannot write %s: %s\n", file_.c_str(), std::strerror(errno));
  }
}

void FileUserDefaults::removeObjectForKey(const std::string& key) {
  if (values_.erase(key) == 0) return;
  if (!save()) {
    std::fprintf(stderr, "user defaults: cannot write %s: %s\n", file_.c_str(), std::strerror(errno));
  }
}

bool FileUserDefaults::save() const {
  std::error_code ec;
  if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ec);
  // The temporary file sits next to the real one so that the rename stays
  // on one file system and replaces the old contents in one step.
  std::filesystem::path temp = file_;
  temp += ".tmp." + std::to_string(::getpid());
  std::ostringstream text;
  for (const auto& [key, value] : values_) text << escape(key) << '\t' << escape(value) << '\n';
  const std::string contents = text.str();

  FILE* out = std::fopen(temp.c_str(), "wb");
  if (!out) return false;
  const bool written = std::fwrite(contents.data(), 1, contents.size(), out) == contents.size() &&
                       std::fflush(out) == 0 && ::fsync(::fileno(out)) == 0;
  const bool closed = std::fclose(out) == 0;
  if (!written || !closed || std::rename(temp.c_str(), file_.c_str()) != 0) {
    const int saved = errno;
    std::remove(temp.c_str());
    errno = saved;
    return false;
  }
  return true;
}

}  // namespace quillon
