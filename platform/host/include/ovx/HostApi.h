#pragma once

/// Marks the host's classes and functions as part of its shared-library interface. Plug-ins are
/// built with hidden visibility; the host's types (their vtables and type information) must stay
/// visible so that casts and exceptions work across the library boundary.
#define OVX_HOST_API __attribute__((visibility("default")))
