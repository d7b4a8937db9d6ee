#include "download/resume_state.h"

#include <array>
#include <nlohmann/json.hpp>
#include <set>

#include "common/limits.h"
#include "download/patience.h"
#include "platform/cache_fs.h"

namespace nuvo {
namespace {

using json = nlohmann::json;

// Reads one record as events, building nothing but the two fields. Skipped
// members may nest to any depth; they are only counted.
class StateReader final : public nlohmann::json_sax<json> {
 public:
  PartialState state;

  bool null() override {
    if (skipping()) return true;
    return take([](Field) { return true; });
  }
  bool boolean(bool) override { return skipping() || take_nothing(); }
  bool number_float(number_float_t, const string_t&) override {
    return skipping() || take_nothing();
  }
  bool binary(binary_t&) override { return false; }

  bool number_unsigned(number_unsigned_t value) override {
    if (skipping()) return true;
    return take([&](Field f) {
      if (f != Field::Total) return false;
      state.total = value;
      return true;
    });
  }
  bool number_integer(number_integer_t value) override {
    if (skipping()) return true;
    // Only "-0" arrives here without being negative.
    if (value < 0) return false;
    return number_unsigned(static_cast<number_unsigned_t>(value));
  }
  bool string(string_t& value) override {
    if (skipping()) return true;
    return take([&](Field f) {
      if (f != Field::Validator) return false;
      state.validator = value;
      return true;
    });
  }

  bool start_object(std::size_t) override { return open(Shape::Object); }
  bool start_array(std::size_t) override { return open(Shape::Array); }
  bool end_object() override { return close(); }
  bool end_array() override {
    if (depth_ == 1 && elements_ != 2) return false;
    return close();
  }

  bool key(string_t& name) override {
    if (depth_ != 1) return true;  // a member of a skipped object
    if (!names_.insert(name).second) return false;
    next_ = name == "validator" ? Field::Validator : name == "total" ? Field::Total : Field::Other;
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  enum class Shape { Object, Array };
  enum class Field { Validator, Total, Other };

  // Inside a skipped value, or at a value whose key announced it as skipped.
  bool skipping() const {
    return depth_ > 1 || (depth_ == 1 && shape_ == Shape::Object && next_ == Field::Other);
  }

  // A value of the record itself, at depth 1.
  template <class Store>
  bool take(Store store) {
    if (depth_ != 1) return false;
    Field field = next_;
    if (shape_ == Shape::Array) {
      if (elements_ >= 2) return false;
      field = elements_ == 0 ? Field::Validator : Field::Total;
      ++elements_;
    }
    next_ = Field::Other;
    return store(field);
  }
  bool take_nothing() {
    return take([](Field) { return false; });
  }

  bool open(Shape shape) {
    if (depth_ == 0) {
      shape_ = shape;
      next_ = Field::Other;
      ++depth_;
      return true;
    }
    // Only a skipped member may hold a container.
    if (!skipping()) return false;
    ++depth_;
    return true;
  }

  bool close() {
    --depth_;
    if (depth_ == 1 && shape_ == Shape::Object) next_ = Field::Other;
    return true;
  }

  std::size_t depth_ = 0;
  Shape shape_ = Shape::Object;
  Field next_ = Field::Other;
  std::size_t elements_ = 0;
  std::set<std::string> names_;
};

// A JSON string: quotation mark, reverse solidus and control characters
// escaped, everything else as it is.
void append_quoted(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

}  // namespace

PartialState parse_state(std::string_view text) {
  // The JSON library would skip a byte-order mark; we never write one, and it
  // is not white space.
  if (text.starts_with("\xEF\xBB\xBF")) return {};
  StateReader reader;
  const bool ok = json::sax_parse(text.begin(), text.end(), &reader, json::input_format_t::json,
                                  /*strict=*/true, /*ignore_comments=*/false);
  if (!ok) return {};
  return std::move(reader.state);
}

std::string format_state(const PartialState& state) {
  std::string out = "{\"validator\":";
  if (state.validator) {
    append_quoted(out, *state.validator);
  } else {
    out += "null";
  }
  out += ",\"total\":";
  out += state.total ? std::to_string(*state.total) : "null";
  out += '}';
  return out;
}

PartialState read_state(CacheFs& fs, const std::atomic<bool>& cancel, std::string_view path) {
  if (!fs.check_not_link(path)) return {};
  auto file = patiently(fs, cancel, [&] { return fs.open_file_read(path); });
  if (!file) return {};
  // One byte more than allowed tells an oversized record from a full one.
  std::array<std::uint8_t, kMaxStateFileSize + 1> buffer{};
  std::size_t used = 0;
  while (used < buffer.size()) {
    const auto got = file->read(std::span(buffer).subspan(used));
    if (!got) return {};
    if (*got == 0) break;
    used += *got;
  }
  file->close();
  if (used > kMaxStateFileSize) return {};
  return parse_state(std::string_view(reinterpret_cast<const char*>(buffer.data()), used));
}

std::string temporary_state_path(std::string_view state_path) {
  const std::size_t name_start = state_path.find_last_of("/\\") + 1;  // npos + 1 == 0
  const std::size_t dot = state_path.rfind('.');
  // A leading dot names a hidden file; it starts no extension.
  const bool has_extension = dot != std::string_view::npos && dot > name_start;
  return std::string(has_extension ? state_path.substr(0, dot) : state_path) + ".tmp";
}

SetupResult<void> write_state(CacheFs& fs, const std::atomic<bool>& cancel, std::string_view path,
                              const PartialState& state) {
  const std::string temporary = temporary_state_path(path);
  if (auto r = fs.check_not_link(path); !r) return r;
  if (auto r = fs.check_not_link(temporary); !r) return r;
  const std::string text = format_state(state);

  {
    auto file = patiently(fs, cancel, [&] { return fs.open_file_write(temporary, false); });
    if (!file) return Failure{std::move(file).error()};
    if (auto r = file->truncate(0); !r) return r;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (auto r = file->write_all(std::span(bytes, text.size())); !r) return r;
    if (auto r = file->flush(); !r) return r;
  }

  // The move replaces the old record in one step. Deleting it first would
  // leave no record at all after a crash or a failed move in between, and the
  // next run would throw away every byte kept in installer.part.
  return patiently(fs, cancel, [&] { return fs.move_file(temporary, path); });
}

SetupResult<void> reset_partial(CacheFs& fs, const std::atomic<bool>& cancel,
                                std::string_view part_path, std::string_view state_path) {
  if (auto r = fs.check_not_link(part_path); !r) return r;
  auto part = patiently(fs, cancel, [&] { return fs.open_file_write(part_path, false); });
  if (!part) return Failure{std::move(part).error()};
  if (auto r = part->truncate(0); !r) return r;
  if (auto r = part->flush(); !r) return r;
  if (auto r = write_state(fs, cancel, state_path, PartialState{}); !r) return r;
  part->close();
  return {};
}

ResumeDecision judge_partial(std::uint64_t part_size, const PartialState& state) {
  if (part_size > kMaxPackageSize) return ResumeDecision::FailTooLarge;
  if (part_size == 0) return ResumeDecision::StartFresh;
  if (!state.validator) return ResumeDecision::ResetAndStartFresh;
  if (!state.total) return ResumeDecision::Continue;
  if (*state.total <= kMaxPackageSize && *state.total >= part_size) return ResumeDecision::Continue;
  return ResumeDecision::ResetAndStartFresh;
}

}  // namespace nuvo
