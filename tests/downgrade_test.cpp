#include "install/downgrade.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <optional>

namespace nuvo {
namespace {

// A registry string value as the OS hands it back: status, bytes, byte count.
struct RegValue {
  std::uint32_t status;
  std::vector<std::uint8_t> data;
  std::uint32_t bytes;
};

std::vector<std::uint8_t> le_bytes(std::u16string_view units) {
  std::vector<std::uint8_t> out;
  for (const char16_t u : units) {
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return out;
}

// A REG_SZ value with its terminator, as RegGetValueW returns it.
RegValue sz(std::u16string_view text) {
  auto data = le_bytes(std::u16string(text) + u'\0');
  const auto bytes = static_cast<std::uint32_t>(data.size());
  return {kWinSuccess, std::move(data), bytes};
}

RegValue raw(std::vector<std::uint8_t> data, std::uint32_t bytes) {
  return {kWinSuccess, std::move(data), bytes};
}

RegValue status(std::uint32_t s) { return {s, {}, 0}; }

struct Entry {
  std::uint32_t open_status;
  std::optional<RegValue> name;  // nullopt: the value is missing
  std::optional<RegValue> version;
};

Entry entry(std::optional<RegValue> name, std::optional<RegValue> version) {
  return {kWinSuccess, std::move(name), std::move(version)};
}
Entry entry(std::u16string_view version) { return entry(sz(u"Nuvo"), sz(version)); }
Entry open_error(std::uint32_t s) { return {s, std::nullopt, std::nullopt}; }

// A Windows Installer property: status, units written, count reported.
struct MsiValue {
  std::uint32_t status;
  std::u16string text;
  std::optional<std::uint32_t> units;  // reported count; the text's length by default
};

MsiValue msi(std::u16string_view text, std::optional<std::uint32_t> units = std::nullopt) {
  return {kWinSuccess, std::u16string(text), units};
}
MsiValue msi_error(std::uint32_t s) { return {s, u"", std::nullopt}; }

struct Product {
  MsiValue name;
  MsiValue version;
};

Product product(MsiValue name, MsiValue version) { return {std::move(name), std::move(version)}; }
Product product(std::u16string_view version) { return product(msi(u"Nuvo"), msi(version)); }

using Probe = std::pair<RegistryHive, RegistryView>;
constexpr Probe kLm64{RegistryHive::LocalMachine, RegistryView::Bits64};
constexpr Probe kLm32{RegistryHive::LocalMachine, RegistryView::Bits32};
constexpr Probe kCu64{RegistryHive::CurrentUser, RegistryView::Bits64};
constexpr Probe kCu32{RegistryHive::CurrentUser, RegistryView::Bits32};

std::string probe_name(Probe p) {
  return std::string(p.first == RegistryHive::LocalMachine ? "HKLM" : "HKCU") +
         (p.second == RegistryView::Bits64 ? "64" : "32");
}

// The machine as the guard sees it: uninstall entries per hive and view and
// the related products in enumeration order. It logs every call, counts the
// keys left open and checks the buffers the guard offers.
class FakeRegistry final : public ProductRegistry {
 public:
  std::map<Probe, Entry> entries;
  std::vector<Product> products;
  std::optional<std::pair<std::uint32_t, std::uint32_t>> enum_error;  // index, status
  bool code_without_terminator = false;

  std::vector<std::string> calls;
  int open_keys = 0;

  std::uint32_t open_uninstall_key(RegistryHive hive, RegistryView view,
                                   std::unique_ptr<UninstallKey>& key) override {
    const Probe probe{hive, view};
    calls.push_back("open " + probe_name(probe));
    const auto found = entries.find(probe);
    if (found == entries.end()) return kWinFileNotFound;
    if (found->second.open_status != kWinSuccess) return found->second.open_status;
    key = std::make_unique<Key>(*this, found->second);
    return kWinSuccess;
  }

  std::uint32_t related_product(std::uint32_t index,
                                std::span<char16_t, kProductCodeUnits> code) override {
    calls.push_back("enum " + std::to_string(index));
    EXPECT_TRUE(std::all_of(code.begin(), code.end(), [](char16_t c) { return c == 0; }));
    if (enum_error && enum_error->first == index) return enum_error->second;
    if (index >= products.size()) return kWinNoMoreItems;
    const auto text = code_of(index);
    std::copy(text.begin(), text.end(), code.begin());
    if (code_without_terminator) code[38] = u'}';
    return kWinSuccess;
  }

  std::uint32_t product_property(std::u16string_view product_code, std::string_view property,
                                 std::span<char16_t, kProductPropertyUnits> value,
                                 std::uint32_t& units) override {
    calls.push_back(std::string(property));
    EXPECT_EQ(units, 255u);
    EXPECT_TRUE(std::all_of(value.begin(), value.end(), [](char16_t c) { return c == 0; }));
    std::size_t index = 0;
    while (index < products.size() && code_of(index) != product_code) ++index;
    EXPECT_LT(index, products.size()) << "an unknown product code";
    if (index == products.size()) return 1605;  // ERROR_UNKNOWN_PRODUCT
    const MsiValue& v = property == "ProductName" ? products[index].name : products[index].version;
    std::copy_n(v.text.begin(), std::min(v.text.size(), value.size()), value.begin());
    units = v.units.value_or(static_cast<std::uint32_t>(v.text.size()));
    return v.status;
  }

 private:
  class Key final : public UninstallKey {
   public:
    Key(FakeRegistry& owner, const Entry& entry) : owner_(owner), entry_(entry) {
      ++owner_.open_keys;
    }
    ~Key() override {
      --owner_.open_keys;
      owner_.calls.push_back("close");
    }
    std::uint32_t read_string(std::string_view name,
                              std::span<std::uint8_t, kRegistryValueBytes> data,
                              std::uint32_t& bytes) override {
      owner_.calls.push_back(std::string(name));
      EXPECT_EQ(bytes, kRegistryValueBytes);
      EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0; }));
      const auto& value = name == "DisplayName" ? entry_.name : entry_.version;
      if (!value) return kWinFileNotFound;
      std::copy_n(value->data.begin(), std::min(value->data.size(), data.size()), data.begin());
      bytes = value->bytes;
      return value->status;
    }

   private:
    FakeRegistry& owner_;
    const Entry& entry_;
  };

  static std::u16string code_of(std::size_t index) {
    const std::string digits = std::to_string(1000 + index).substr(1);
    return u"{00000000-0000-0000-0000-000000000" + std::u16string(digits.begin(), digits.end()) +
           u"}";
  }
};

using Texts = std::vector<std::string>;
const Texts kFailed = {"<detection failed>"};

Texts detect(FakeRegistry& fake) {
  const auto result = detect_installed_versions(fake);
  EXPECT_EQ(fake.open_keys, 0) << "a key was left open";
  if (!result) {
    EXPECT_EQ(result.error(), kDetectionFailed);
    return kFailed;
  }
  Texts out;
  for (const auto& v : *result) out.push_back(v.text());
  return out;
}

TEST(DetectInstalledVersions, UninstallEntries) {
  const auto lone_surrogate = le_bytes(std::u16string(u"1.0.0") + u'\xD800' + u'\0');
  const struct {
    const char* name;
    std::map<Probe, Entry> entries;
    Texts expected;
  } cases[] = {
      {"nothing installed", {}, {}},
      {"plain entry", {{kLm64, entry(u"1.9.0")}}, {"1.9.0"}},
      {"probe order, duplicates kept",
       {{kCu32, entry(u"4.0.0")},
        {kLm32, entry(u"2.0.0")},
        {kCu64, entry(u"3.0.0")},
        {kLm64, entry(u"2.0.0")}},
       {"2.0.0", "2.0.0", "3.0.0", "4.0.0"}},
      {"path not found is no entry",
       {{kLm64, open_error(kWinPathNotFound)}, {kCu64, entry(u"1.0.0")}},
       {"1.0.0"}},
      {"access denied", {{kLm32, open_error(5)}, {kCu64, entry(u"1.0.0")}}, kFailed},
      {"blanks trimmed", {{kLm64, entry(sz(u" \tnuvo\r\n"), sz(u"  1.2.3  "))}}, {"1.2.3"}},
      {"Unicode white space trimmed",
       {{kLm64, entry(sz(u"\u3000Nuvo\u00A0"), sz(u"\u2003\u00A01.2.3-rc.1+b7\u3000"))}},
       {"1.2.3-rc.1+b7"}},
      {"upper case name", {{kLm64, entry(sz(u"NUVO"), sz(u"1.0.0"))}}, {"1.0.0"}},
      {"two-part version", {{kLm64, entry(u"1.2")}}, kFailed},
      {"four-part version", {{kLm64, entry(u"1.2.3.4")}}, kFailed},
      {"other product name", {{kLm64, entry(sz(u"Nuvo Beta"), sz(u"1.0.0"))}}, kFailed},
      {"name missing", {{kLm64, entry(std::nullopt, sz(u"1.0.0"))}}, kFailed},
      {"version missing", {{kLm64, entry(sz(u"Nuvo"), std::nullopt)}}, kFailed},
      {"expandable or other type",
       {{kLm64, entry(sz(u"Nuvo"), status(kWinUnsupportedType))}},
       kFailed},
      {"value too long", {{kLm64, entry(sz(u"Nuvo"), status(kWinMoreData))}}, kFailed},
      {"byte count 0", {{kLm64, entry(sz(u"Nuvo"), raw(le_bytes(u"1.0.0"), 0))}}, kFailed},
      {"odd byte count", {{kLm64, entry(raw(le_bytes(u"Nuvo"), 9), sz(u"1.0.0"))}}, kFailed},
      {"full buffer accepted",
       {{kLm64, entry(sz(u"Nuvo"), sz(u"1.0.0" + std::u16string(1018, u' ')))}},
       {"1.0.0"}},
      {"byte count above the buffer",
       {{kLm64, entry(sz(u"Nuvo"), raw(le_bytes(u"1.0.0"), kRegistryValueBytes + 2))}},
       kFailed},
      {"no terminator in the value",
       {{kLm64, entry(sz(u"Nuvo"), raw(le_bytes(u"1.0.0"), 10))}},
       kFailed},
      {"text before the first terminator",
       {{kLm64, entry(sz(u"Nuvo"), raw(le_bytes(std::u16string(u"1.0.0\0junk", 10)), 20))}},
       {"1.0.0"}},
      {"unpaired surrogate", {{kLm64, entry(sz(u"Nuvo"), raw(lone_surrogate, 14))}}, kFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRegistry fake;
    fake.entries = c.entries;
    EXPECT_EQ(detect(fake), c.expected);
  }
}

TEST(DetectInstalledVersions, WindowsInstallerProducts) {
  std::vector<Product> many(128, product(u"1.0.0"));
  const struct {
    const char* name;
    std::vector<Product> products;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> enum_error;
    bool code_without_terminator;
    Texts expected;
  } cases[] = {
      {"in enumeration order",
       {product(u"3.0.0"), product(u" 1.0.0-beta ")},
       {},
       false,
       {"3.0.0", "1.0.0-beta"}},
      {"enumeration error", {product(u"3.0.0")}, {{1, 1610}}, false, kFailed},
      {"code fills the buffer", {product(u"3.0.0")}, {}, true, kFailed},
      {"other product name", {product(msi(u"Nuvo Beta"), msi(u"3.0.0"))}, {}, false, kFailed},
      {"name unreadable", {product(msi_error(1605), msi(u"3.0.0"))}, {}, false, kFailed},
      {"version unreadable", {product(msi(u"Nuvo"), msi_error(kWinMoreData))}, {}, false, kFailed},
      {"version not semantic", {product(u"3.0.0.1")}, {}, false, kFailed},
      {"count 255 accepted",
       {product(msi(u"Nuvo"), msi(u"3.0.0" + std::u16string(250, u' '), 255))},
       {},
       false,
       {"3.0.0"}},
      {"count 256",
       {product(msi(u"Nuvo"), msi(u"3.0.0" + std::u16string(251, u' '), 256))},
       {},
       false,
       kFailed},
      {"unpaired surrogate", {product(msi(u"Nuvo"), msi(u"3.0.0\xDC00"))}, {}, false, kFailed},
      {"127 products", {many.begin(), many.begin() + 127}, {}, false, Texts(127, "1.0.0")},
      {"a 128th product", many, {}, false, kFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRegistry fake;
    fake.products = c.products;
    fake.enum_error = c.enum_error;
    fake.code_without_terminator = c.code_without_terminator;
    EXPECT_EQ(detect(fake), c.expected);
  }
}

TEST(DetectInstalledVersions, ProbesInOrderThenProducts) {
  FakeRegistry fake;
  fake.entries = {{kCu32, entry(u"4.0.0")}, {kLm64, entry(u"1.0.0")}};
  fake.products = {product(u"5.0.0")};
  EXPECT_EQ(detect(fake), (Texts{"1.0.0", "4.0.0", "5.0.0"}));
  EXPECT_EQ(fake.calls, (std::vector<std::string>{
                            "open HKLM64", "DisplayName", "DisplayVersion", "close", "open HKLM32",
                            "open HKCU64", "open HKCU32", "DisplayName", "DisplayVersion", "close",
                            "enum 0", "ProductName", "VersionString", "enum 1"}));

  // A wrong name stops before the version is read; nothing after it is asked.
  FakeRegistry stops;
  stops.entries = {{kLm64, entry(sz(u"Nuvo Beta"), sz(u"1.0.0"))}};
  stops.products = {product(u"5.0.0")};
  EXPECT_EQ(detect(stops), kFailed);
  EXPECT_EQ(stops.calls, (std::vector<std::string>{"open HKLM64", "DisplayName", "close"}));
}

std::string refusal(std::string_view installed, std::string_view release) {
  return "Уже установлена Nuvo " + std::string(installed) +
         ". В канале обновлений доступна более старая версия " + std::string(release) +
         "; установка остановлена. Используйте обновления внутри Nuvo или дождитесь нового релиза.";
}

TEST(CheckNoDowngrade, ComparesTheNewestWithTheRelease) {
  const std::string ok = "<ok>";
  const std::string failed(kDetectionFailed);
  const struct {
    const char* name;
    std::string release;
    std::map<Probe, Entry> entries;
    std::vector<Product> products;
    std::string expected;
  } cases[] = {
      {"nothing installed", "1.0.0", {}, {}, ok},
      {"same version again", "1.9.0", {{kLm64, entry(u"1.9.0")}}, {}, ok},
      {"older installed", "2.0.0", {{kLm64, entry(u"1.9.0")}}, {product(u"1.9.9")}, ok},
      {"pre-release is lower", "2.0.0", {{kLm64, entry(u"2.0.0-beta.1")}}, {}, ok},
      {"newer only in HKCU 32-bit view",
       "1.9.0",
       {{kCu32, entry(u"2.0.0")}},
       {},
       refusal("2.0.0", "1.9.0")},
      {"the greatest wins, from Windows Installer",
       "2.0.0",
       {{kLm64, entry(u"1.0.0")}},
       {product(u"3.0.0")},
       refusal("3.0.0", "2.0.0")},
      {"the greatest wins, from the registry",
       "2.0.0",
       {{kLm32, entry(u"2.1.0")}, {kLm64, entry(u"2.0.1")}},
       {product(u"1.0.0")},
       refusal("2.1.0", "2.0.0")},
      {"versions written canonically",
       "2.0.0-rc.1+7",
       {{kLm64, entry(u"\u00A02.0.0-rc.2 ")}},
       {},
       refusal("2.0.0-rc.2", "2.0.0-rc.1+7")},
      {"build metadata breaks the tie",
       "1.0.0",
       {{kLm64, entry(u"1.0.0+1")}},
       {},
       refusal("1.0.0+1", "1.0.0")},
      {"a build of the release installed, the release offered",
       "1.9.0",
       {},
       {product(u"1.9.0+build.7")},
       refusal("1.9.0+build.7", "1.9.0")},
      {"release version not semantic", "1.9", {}, {}, failed},
      {"detection fails", "9.0.0", {{kLm64, entry(u"1.2")}}, {}, failed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeRegistry fake;
    fake.entries = c.entries;
    fake.products = c.products;
    const auto result = check_no_downgrade(c.release, fake);
    EXPECT_EQ(result ? ok : result.error(), c.expected);
  }
}

}  // namespace
}  // namespace nuvo
