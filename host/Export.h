// Symbol visibility for the shared library: everything is hidden unless a
// class or function is marked GUIDLOOKUPS_EXPORT.
#pragma once

#define GUIDLOOKUPS_EXPORT __attribute__((visibility("default")))
