# ALGLIB::ALGLIB from what find_package(ALGLIB) found: Debian's ALGLIBConfig.cmake sets only
# ALGLIB_LIB and ALGLIB_INCLUDE_DIRS. Used by the build and, installed beside it, by
# nlayerConfig.cmake, so that the exported targets name the library, not a path on the
# machine that built them.
if(NOT TARGET ALGLIB::ALGLIB)
  add_library(ALGLIB::ALGLIB UNKNOWN IMPORTED)
  set_target_properties(ALGLIB::ALGLIB PROPERTIES
                        IMPORTED_LOCATION "${ALGLIB_LIB}"
                        INTERFACE_INCLUDE_DIRECTORIES "${ALGLIB_INCLUDE_DIRS}")
endif()
