# Optional AddressSanitizer + UBSan build of everything (preset "asan").
option(NUVO_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(NUVO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# ThreadSanitizer build (preset "tsan", clang): only the tests of the parts
# that share memory between threads run there (see tests/CMakeLists.txt).
option(NUVO_TSAN "Build with ThreadSanitizer" OFF)
if(NUVO_TSAN)
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
