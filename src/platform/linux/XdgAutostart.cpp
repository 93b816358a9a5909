#include "platform/linux/XdgAutostart.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "base/Exceptions.h"
#include "base/Files.h"

namespace fs = std::filesystem;

namespace lumbra::platform {

std::string XdgAutostart::EntryPath(const std::string& name) const {
  return (fs::path(fConfigDir) / "autostart" / (name + ".desktop")).string();
}

// Quoting as desktop entries want it: the argument in double quotes with ",
// `, $ and \ escaped, then the string-level escape of backslashes; a literal
// percent sign is doubled.
std::string XdgAutostart::QuoteExec(const std::string& path) {
  std::string quoted = "\"";
  for (char c : path) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  std::string out;
  for (char c : quoted) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '%')
      out += "%%";
    else
      out += c;
  }
  return out;
}

std::string XdgAutostart::UnquoteExec(const std::string& exec) {
  // Undo the string-level escapes first.
  std::string s;
  for (size_t i = 0; i < exec.size(); ++i) {
    char c = exec[i];
    if (c == '\\' && i + 1 < exec.size()) {
      char n = exec[++i];
      s += n == 's' ? ' ' : n == 'n' ? '\n' : n == 't' ? '\t' : n == 'r' ? '\r' : n;
    } else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
      s += '%';
      ++i;
    } else {
      s += c;
    }
  }
  // Then take the first argument, quoted or not.
  std::string arg;
  size_t i = s.find_first_not_of(' ');
  if (i == std::string::npos) return arg;
  if (s[i] == '"') {
    for (++i; i < s.size() && s[i] != '"'; ++i) {
      if (s[i] == '\\' && i + 1 < s.size()) ++i;
      arg += s[i];
    }
    return arg;
  }
  size_t end = s.find(' ', i);
  return s.substr(i, end == std::string::npos ? std::string::npos : end - i);
}

std::string XdgAutostart::Read(const std::string& name) {
  std::ifstream in(EntryPath(name));
  if (!in) return "";
  std::string line;
  bool inEntry = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (inEntry && line.rfind("Exec=", 0) == 0) return UnquoteExec(line.substr(5));
  }
  return "";
}

void XdgAutostart::Write(const std::string& name, const std::string& programPath) {
  std::ostringstream entry;
  entry << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=Lumbra\n"
        << "Comment=Badge reader keyboard wedge\n"
        << "Exec=" << QuoteExec(programPath) << "\n"
        << "Icon=lumbra\n"
        << "Terminal=false\n"
        << "X-GNOME-Autostart-enabled=true\n";
  WriteFileAtomically(EntryPath(name), entry.str(), "autostart entry");
}

void XdgAutostart::Delete(const std::string& name) {
  std::string file = EntryPath(name);
  std::error_code ec;
  if (!fs::remove(file, ec))
    throw Exception("Cannot delete the autostart entry " + file + ": " +
                    (ec ? ec.message() : std::string("it does not exist")));
}

}  // namespace lumbra::platform
