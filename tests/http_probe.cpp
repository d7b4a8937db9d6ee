// Runs GETs through the real transport and prints what came back, for the
// end-to-end transport tests.
//
//   http_probe [-H "Name: value"]... [--drop-body] [--read-size N] URL...
//
// Every URL goes through one transport, in order, with the same extra
// headers. For each it prints "request <url>", then either "status <code>",
// "header <name>: <value>" lines and "body <bytes> fnv1a64=<hex>", or
// "error <text>" (and the body bytes read before it); then "elapsed_ms <n>".
// --drop-body drops each body unread. Exit code 0 when nothing failed.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "http/transport.h"

namespace {

struct Fnv1a {
  std::uint64_t hash = 0xcbf29ce484222325u;
  void add(std::span<const std::uint8_t> data) {
    for (const auto b : data) hash = (hash ^ b) * 0x100000001b3u;
  }
};

long long ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

int usage() {
  std::fputs("usage: http_probe [-H \"Name: value\"]... [--drop-body] [--read-size N] URL...\n",
             stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<nuvo::HttpHeader> headers;
  std::vector<std::string> urls;
  bool drop_body = false;
  std::size_t read_size = 16 * 1024;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-H" && i + 1 < argc) {
      const std::string_view h = argv[++i];
      const auto colon = h.find(':');
      if (colon == std::string_view::npos) return usage();
      auto value = h.substr(colon + 1);
      if (!value.empty() && value.front() == ' ') value.remove_prefix(1);
      headers.push_back({std::string(h.substr(0, colon)), std::string(value)});
    } else if (arg == "--drop-body") {
      drop_body = true;
    } else if (arg == "--read-size" && i + 1 < argc) {
      read_size = static_cast<std::size_t>(std::strtoul(argv[++i], nullptr, 10));
      if (read_size == 0) return usage();
    } else if (!arg.starts_with("-")) {
      urls.emplace_back(arg);
    } else {
      return usage();
    }
  }
  if (urls.empty()) return usage();

  auto transport = nuvo::make_http_transport();
  if (!transport) {
    std::printf("error %s\n", transport.error().c_str());
    return 1;
  }
  int exit_code = 0;
  std::vector<std::uint8_t> buffer(read_size);
  for (const auto& url : urls) {
    std::printf("request %s\n", url.c_str());
    const auto start = std::chrono::steady_clock::now();
    auto response = (*transport)->get(url, headers, {});
    if (!response) {
      std::printf("error %s\nelapsed_ms %lld\n", response.error().c_str(), ms_since(start));
      exit_code = 1;
      std::fflush(stdout);
      continue;
    }
    std::printf("status %d\n", response->status);
    for (const auto& h : response->headers)
      std::printf("header %s: %s\n", h.name.c_str(), h.value.c_str());
    std::printf("head_ms %lld\n", ms_since(start));
    if (drop_body) {
      response->body.reset();
      std::printf("body dropped\nelapsed_ms %lld\n", ms_since(start));
      std::fflush(stdout);
      continue;
    }
    Fnv1a hash;
    std::uint64_t total = 0;
    for (;;) {
      auto n = response->body->read(buffer);
      if (!n) {
        std::printf("error %s\nbody_read %llu\n", n.error().c_str(),
                    static_cast<unsigned long long>(total));
        exit_code = 1;
        break;
      }
      if (*n == 0) {
        std::printf("body %llu fnv1a64=%016llx\n", static_cast<unsigned long long>(total),
                    static_cast<unsigned long long>(hash.hash));
        break;
      }
      hash.add(std::span(buffer.data(), *n));
      total += *n;
    }
    std::printf("elapsed_ms %lld\n", ms_since(start));
    std::fflush(stdout);
  }
  return exit_code;
}
