// The command line of nuvo-release, the publisher's tool.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace nuvo::release {

extern const std::string_view kReleaseHelp;

struct KeyOptions {
  std::string secret_key;
  std::optional<std::string> password_file;  // else the terminal (or standard input)
};

namespace command {
struct Help {};
struct Sign {
  KeyOptions key;
  std::string version;
  std::string installer;
};
struct Publish {
  KeyOptions key;
  std::string version;
  std::string out_dir;
  std::string installer;
};
struct CheckDirectory {
  std::string dir;
};
struct CheckOnline {};
struct Usage {
  std::string message;
};
}  // namespace command

using Command = std::variant<command::Help, command::Sign, command::Publish,
                             command::CheckDirectory, command::CheckOnline, command::Usage>;

// `args` excludes the program name.
Command parse_release_arguments(const std::vector<std::string>& args);

}  // namespace nuvo::release
