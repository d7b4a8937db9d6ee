#include "manifest/manifest.h"

#include <nlohmann/json.hpp>
#include <set>
#include <vector>

namespace nuvo {
namespace {

using json = nlohmann::json;

// Where in the document the parser is. Ignored members may nest to any depth:
// they are only counted, never built, so hostile nesting costs nothing.
enum class Frame {
  Root,       // the manifest object
  Platforms,  // the "platforms" object
  Platform,   // one platform object
  Skipped,    // inside an ignored value
};

// Which value the next token is, as announced by the key before it.
enum class Expect { Any, Version, Platforms, PlatformValue, Url, Signature, Ignored };

class ManifestReader final : public nlohmann::json_sax<json> {
 public:
  Manifest manifest;
  bool have_version = false;
  bool have_platforms = false;

  bool null() override { return scalar(false); }
  bool boolean(bool) override { return scalar(false); }
  bool number_integer(number_integer_t) override { return scalar(false); }
  bool number_unsigned(number_unsigned_t) override { return scalar(false); }
  bool number_float(number_float_t, const string_t&) override { return scalar(false); }
  bool binary(binary_t&) override { return scalar(false); }

  bool string(string_t& value) override {
    switch (expect_) {
      case Expect::Version:
        manifest.version = value;
        have_version = true;
        break;
      case Expect::Url:
        current_.url = value;
        have_url_ = true;
        break;
      case Expect::Signature:
        current_.signature = value;
        have_signature_ = true;
        break;
      default:
        return scalar(false);
    }
    expect_ = Expect::Any;
    return true;
  }

  bool start_object(std::size_t) override {
    if (!frames_.empty() && frames_.back() == Frame::Skipped) return push(Frame::Skipped);
    switch (expect_) {
      case Expect::Any:
        if (!frames_.empty()) return false;
        return push(Frame::Root);
      case Expect::Platforms:
        have_platforms = true;
        manifest.platforms.clear();
        return push(Frame::Platforms);
      case Expect::PlatformValue:
        current_ = {};
        have_url_ = have_signature_ = false;
        return push(Frame::Platform);
      case Expect::Ignored:
        return push(Frame::Skipped);
      default:
        return false;  // an object where a string was required
    }
  }

  bool end_object() override {
    const Frame done = frames_.back();
    frames_.pop_back();
    names_.pop_back();
    if (done == Frame::Platform) {
      if (!have_url_ || !have_signature_) return false;
      manifest.platforms[platform_key_] = current_;
    }
    expect_ = Expect::Any;
    return true;
  }

  bool start_array(std::size_t) override {
    if (!frames_.empty() && frames_.back() == Frame::Skipped) return push(Frame::Skipped);
    if (expect_ != Expect::Ignored) return false;
    return push(Frame::Skipped);
  }

  bool end_array() override {
    frames_.pop_back();
    names_.pop_back();
    expect_ = Expect::Any;
    return true;
  }

  bool key(string_t& name) override {
    const Frame frame = frames_.back();
    if (frame == Frame::Skipped) return true;
    if (frame == Frame::Root || frame == Frame::Platform) {
      // A member name given twice rejects the object.
      if (!names_.back().insert(name).second) return false;
    }
    switch (frame) {
      case Frame::Root:
        expect_ = name == "version"     ? Expect::Version
                  : name == "platforms" ? Expect::Platforms
                                        : Expect::Ignored;
        break;
      case Frame::Platforms:
        platform_key_ = name;
        expect_ = Expect::PlatformValue;
        break;
      case Frame::Platform:
        expect_ = name == "url"         ? Expect::Url
                  : name == "signature" ? Expect::Signature
                                        : Expect::Ignored;
        break;
      case Frame::Skipped:
        break;
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  // A scalar is only ever acceptable as (part of) an ignored value.
  bool scalar(bool) {
    const bool ignored =
        expect_ == Expect::Ignored || (!frames_.empty() && frames_.back() == Frame::Skipped);
    if (!ignored) return false;
    if (expect_ == Expect::Ignored) expect_ = Expect::Any;
    return true;
  }

  bool push(Frame f) {
    frames_.push_back(f);
    names_.emplace_back();
    expect_ = Expect::Any;
    return true;
  }

  std::vector<Frame> frames_;
  std::vector<std::set<std::string>> names_;
  Expect expect_ = Expect::Any;
  std::string platform_key_;
  Platform current_;
  bool have_url_ = false;
  bool have_signature_ = false;
};

}  // namespace

std::optional<Manifest> decode_manifest(std::string_view text) {
  // The JSON library would skip a byte-order mark; the channel must not send one.
  if (text.starts_with("\xEF\xBB\xBF")) return std::nullopt;
  ManifestReader reader;
  const bool ok = json::sax_parse(text.begin(), text.end(), &reader, json::input_format_t::json,
                                  /*strict=*/true, /*ignore_comments=*/false);
  if (!ok || !reader.have_version || !reader.have_platforms) return std::nullopt;
  return std::move(reader.manifest);
}

std::string encode_manifest(std::string_view version, std::string_view platform_key,
                            const Platform& platform) {
  nlohmann::ordered_json doc;
  doc["version"] = version;
  doc["platforms"][std::string(platform_key)] = {{"url", platform.url},
                                                 {"signature", platform.signature}};
  return doc.dump(2) + "\n";
}

}  // namespace nuvo
