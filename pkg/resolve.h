// Dependency ordering: the install plan of one requested package.
#pragma once

#include <cstdint>

#include "package_index.h"

// References into one package_index (which must outlive the plan), each
// package once, dependencies before the packages that need them, the
// requested package last.
struct install_plan {
    const package_entry* entries[PKG_INDEX_MAX_PACKAGES];
    int32_t count;
};

// Visit marks of the depth-first walk, one per index position.
constexpr uint8_t RES_UNVISITED = 0;
constexpr uint8_t RES_VISITING = 1;
constexpr uint8_t RES_FINISHED = 2;

// Fills `plan` for the package named `name`. 0: done. -1: a null argument or
// empty name (no message), or a missing package or dependency, a cycle or an
// overfull plan (one "install: " line printed); the plan is then partial.
int resolve_install_plan(const package_index* index, const char* name, install_plan* plan);

// Post-order visit of entry `position`: appends its dependencies, then the
// entry itself, to `plan`. 0 / -1 with one message at the innermost failure.
int res_visit(const package_index* index, int32_t position, uint8_t marks[PKG_INDEX_MAX_PACKAGES], install_plan* plan);
