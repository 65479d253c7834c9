#pragma once

// The media drivers loaded at start-up, in load order, ended by a null.
extern const char* const kernel_modules[];

// The network drivers, library modules first, in load order, ended by a
// null; the network client loads them through load_modules.
extern const char* const network_modules[];

// Runs "/sbin/insmod" once for every name of the null-terminated list, in
// order. Every entry is tried; failures (a missing module, no matching
// hardware) are ignored.
void load_modules(const char* const* modules);

// load_modules with another loader program in place of "/sbin/insmod".
void load_modules_with(const char* loader, const char* const* modules);
