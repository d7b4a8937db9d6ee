// Loads NuvoSetup.exe's resources the way Windows programs do, for the
// resource end-to-end test.
//
//   resource_probe <path to NuvoSetup.exe>
//
// Prints one line per icon size, "icon <asked> <width>x<height>", the size
// of the image that LoadImageW made from icon group 101 (0x0 if it failed),
// then "description <FileDescription>" in UTF-8 as VerQueryValueW reads it.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void print_icon(HMODULE module, int size) {
  int width = 0;
  int height = 0;
  auto icon = static_cast<HICON>(
      LoadImageW(module, MAKEINTRESOURCEW(101), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
  ICONINFO info{};
  if (icon != nullptr && GetIconInfo(icon, &info)) {
    BITMAP bitmap{};
    if (info.hbmColor != nullptr && GetObjectW(info.hbmColor, sizeof bitmap, &bitmap) != 0) {
      width = bitmap.bmWidth;
      height = bitmap.bmHeight;
    }
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
  }
  if (icon != nullptr) DestroyIcon(icon);
  std::printf("icon %d %dx%d\n", size, width, height);
}

std::string utf8(const wchar_t* text) {
  int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return {};
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
  out.pop_back();
  return out;
}

void print_description(const wchar_t* path) {
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeW(path, &ignored);
  std::vector<unsigned char> block(size);
  void* value = nullptr;
  UINT length = 0;
  std::string description;
  if (size != 0 && GetFileVersionInfoW(path, 0, size, block.data()) &&
      VerQueryValueW(block.data(), L"\\StringFileInfo\\000004B0\\FileDescription", &value,
                     &length)) {
    description = utf8(static_cast<const wchar_t*>(value));
  }
  std::printf("description %s\n", description.c_str());
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr || argc != 2) {
    std::fputs("usage: resource_probe <exe>\n", stderr);
    return 2;
  }
  HMODULE module = LoadLibraryExW(argv[1], nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (module == nullptr) {
    std::fputs("cannot load the executable as a data file\n", stderr);
    return 1;
  }
  for (int size : {16, 24, 32, 48, 64, 256}) print_icon(module, size);
  print_description(argv[1]);
  FreeLibrary(module);
  return 0;
}
