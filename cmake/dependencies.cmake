# Third-party libraries come from Debian's packages (scripts/setup installs them).
function(kestro_require pkg debian_package)
  find_package(${pkg} CONFIG QUIET)
  if(NOT ${pkg}_FOUND)
    message(FATAL_ERROR
      "${pkg} was not found. Install the Debian package '${debian_package}' "
      "(apt-get install ${debian_package}), or run scripts/setup.")
  endif()
endfunction()

kestro_require(simdjson libsimdjson-dev)
kestro_require(RapidJSON rapidjson-dev)

# RapidJSON's package only sets a variable; wrap it so its headers are system headers.
add_library(kestro_rapidjson INTERFACE)
target_include_directories(kestro_rapidjson SYSTEM INTERFACE ${RapidJSON_INCLUDE_DIRS} ${RAPIDJSON_INCLUDE_DIRS})

if(KESTRO_BUILD_TESTS)
  find_package(GTest CONFIG QUIET)
  if(NOT GTest_FOUND)
    find_package(GTest QUIET)
  endif()
  if(NOT GTest_FOUND)
    message(FATAL_ERROR "GoogleTest was not found. Install the Debian package 'libgtest-dev', or run scripts/setup.")
  endif()
endif()
