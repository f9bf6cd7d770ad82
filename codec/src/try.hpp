// Passing a failed Result on to the caller without spelling it out each time.
#pragma once

#include <expected>
#include <utility>

// VAMRA_TRY(target, expression) evaluates `expression`, a Result. On failure
// the enclosing function returns that error; otherwise the value is moved into
// `target`, which is either a declaration (`const std::size_t n`) or a
// variable already in scope. It expands to several statements, so it stands on
// its own inside braces, never as the unbraced body of an if or a loop.
#define VAMRA_TRY(target, ...) VAMRA_TRY_WITH(target, VAMRA_TRY_NAME(__LINE__), __VA_ARGS__)

#define VAMRA_TRY_WITH(target, result, ...)            \
  auto result = (__VA_ARGS__);                         \
  if (!result) return std::unexpected(result.error()); \
  target = std::move(*result)

// A name for the hidden Result that is unique per line.
#define VAMRA_TRY_NAME(line) VAMRA_TRY_PASTE(vamra_try_result_, line)
#define VAMRA_TRY_PASTE(a, b) a##b
