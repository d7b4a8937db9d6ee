#include "release/arguments.h"

#include <map>

namespace nuvo::release {

const std::string_view kReleaseHelp =
    "nuvo-release: makes and checks releases of Nuvo for the channel NuvoSetup reads.\n"
    "\n"
    "  nuvo-release sign --secret-key <file> --version <X.Y.Z> [--password-file <file>] "
    "<installer>\n"
    "      writes <installer>.minisig, a minisign signature whose trusted comment names the\n"
    "      version.\n"
    "  nuvo-release publish --secret-key <file> --version <X.Y.Z> --out <dir>\n"
    "                       [--password-file <file>] <installer>\n"
    "      writes Nuvo_<X.Y.Z>_x64-setup.exe, its .minisig and latest.json into <dir>, after\n"
    "      checking them with NuvoSetup's own rules; writes nothing when a rule fails.\n"
    "  nuvo-release check <dir>\n"
    "  nuvo-release check --online\n"
    "      applies NuvoSetup's rules to a published folder, or to the live channel (download\n"
    "      included); one line per rule, exit code 0 only when NuvoSetup would accept it.\n"
    "  nuvo-release --help\n"
    "\n"
    "The secret key is a minisign secret-key file, encrypted (its password is read from the\n"
    "terminal, or from the first line of --password-file) or not (minisign -G -W). It must\n"
    "match the public key built into NuvoSetup.\n";

namespace {

constexpr std::string_view kUsage = "Wrong arguments; see nuvo-release --help.";

// --name value pairs among `args` (from `first`), and at most `positional`
// other arguments, which must come last. Empty on any slip.
struct Parsed {
  std::map<std::string, std::string> options;
  std::vector<std::string> rest;
};

std::optional<Parsed> parse_options(const std::vector<std::string>& args, std::size_t first,
                                    const std::vector<std::string_view>& names) {
  Parsed out;
  for (std::size_t i = first; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool known = false;
    for (const auto name : names) known = known || a == name;
    if (known) {
      if (!out.rest.empty() || i + 1 >= args.size() || args[i + 1].empty() ||
          !out.options.emplace(a, args[i + 1]).second)
        return std::nullopt;
      ++i;
    } else if (a.starts_with("--") || a.empty()) {
      return std::nullopt;
    } else {
      out.rest.push_back(a);
    }
  }
  return out;
}

std::optional<KeyOptions> key_options(Parsed& p) {
  if (!p.options.contains("--secret-key")) return std::nullopt;
  KeyOptions key{p.options["--secret-key"], std::nullopt};
  if (p.options.contains("--password-file")) key.password_file = p.options["--password-file"];
  return key;
}

}  // namespace

Command parse_release_arguments(const std::vector<std::string>& args) {
  const auto usage = command::Usage{std::string(kUsage)};
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) return command::Help{};
  if (args.empty()) return usage;

  if (args[0] == "check") {
    if (args.size() == 2 && args[1] == "--online") return command::CheckOnline{};
    if (args.size() == 2 && !args[1].starts_with("--") && !args[1].empty())
      return command::CheckDirectory{args[1]};
    return usage;
  }
  if (args[0] != "sign" && args[0] != "publish") return usage;

  const bool publish = args[0] == "publish";
  std::vector<std::string_view> names = {"--secret-key", "--version", "--password-file"};
  if (publish) names.push_back("--out");
  auto parsed = parse_options(args, 1, names);
  if (!parsed || parsed->rest.size() != 1 || !parsed->options.contains("--version") ||
      (publish && !parsed->options.contains("--out")))
    return usage;
  auto key = key_options(*parsed);
  if (!key) return usage;
  if (publish) {
    return command::Publish{std::move(*key), parsed->options["--version"], parsed->options["--out"],
                            parsed->rest[0]};
  }
  return command::Sign{std::move(*key), parsed->options["--version"], parsed->rest[0]};
}

}  // namespace nuvo::release
