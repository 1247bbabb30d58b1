# Every dependency comes from a Debian 12 package; scripts/install-deps installs them.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(Boost 1.81 REQUIRED COMPONENTS json program_options system filesystem)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(nlohmann_json 3 REQUIRED)

pkg_check_modules(GST REQUIRED IMPORTED_TARGET gstreamer-1.0 gstreamer-base-1.0)
pkg_check_modules(GST_RTSP REQUIRED IMPORTED_TARGET gstreamer-rtsp-1.0 gstreamer-sdp-1.0
                  gstreamer-rtp-1.0 gstreamer-app-1.0)
pkg_check_modules(GST_RTSP_SERVER REQUIRED IMPORTED_TARGET gstreamer-rtsp-server-1.0)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0 gobject-2.0 glib-2.0)
# sd_notify: readiness and watchdog keep-alives for the service manager.
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)

# CAF 0.17 ships no CMake package: imported targets over the installed libraries.
find_path(CAF_INCLUDE_DIR caf/all.hpp REQUIRED)
find_library(CAF_CORE_LIBRARY caf_core REQUIRED)
find_library(CAF_IO_LIBRARY caf_io REQUIRED)
if(NOT TARGET caf::core)
    add_library(caf::core SHARED IMPORTED GLOBAL)
    set_target_properties(caf::core PROPERTIES
        IMPORTED_LOCATION "${CAF_CORE_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${CAF_INCLUDE_DIR}"
        INTERFACE_LINK_LIBRARIES Threads::Threads)
    add_library(caf::io SHARED IMPORTED GLOBAL)
    set_target_properties(caf::io PROPERTIES
        IMPORTED_LOCATION "${CAF_IO_LIBRARY}"
        INTERFACE_LINK_LIBRARIES caf::core)
endif()

if(TAVREL_BUILD_TESTS)
    find_package(GTest REQUIRED)
endif()
if(TAVREL_BUILD_BENCH)
    find_package(benchmark REQUIRED)
endif()
