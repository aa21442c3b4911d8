# `cmake --install <build> --prefix P`: the programs into P/bin, libnlayer.a with the public
# headers and a CMake package configuration (find_package(nlayer), nlayer::nlayer), and the
# Python package where python3 looks under P (python/CMakeLists.txt). `cpack -G DEB` in the
# build directory packs the same for /usr.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(programs nlayer-run)
if(TARGET nlayer)
  list(APPEND programs nlayer)
endif()
install(TARGETS ${programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(NLAYER_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/nlayer)
install(TARGETS nlayer_lib EXPORT nlayerTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# fit.h declares the in-tree fitting library, which is not installed (nlayer-fit and the Python
# module carry it).
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/nlayer DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h" PATTERN "fit.h" EXCLUDE)
install(EXPORT nlayerTargets NAMESPACE nlayer:: DESTINATION ${NLAYER_CMAKE_INSTALL_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/nlayerConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/nlayerConfig.cmake
                              INSTALL_DESTINATION ${NLAYER_CMAKE_INSTALL_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/nlayerConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/nlayerConfig.cmake ${CMAKE_BINARY_DIR}/nlayerConfigVersion.cmake
        DESTINATION ${NLAYER_CMAKE_INSTALL_DIR})

# Installs into a scratch prefix, builds tests/consumer/ against it with find_package and runs
# it, and imports the installed Python package.
if(NLAYER_BUILD_TESTS)
  add_test(NAME install_and_consume
           COMMAND ${CMAKE_COMMAND}
                   -DBUILD_DIR=${CMAKE_BINARY_DIR}
                   -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
                   -DWORK_DIR=${CMAKE_BINARY_DIR}/consumer-test
                   -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
                   "-DCXX_FLAGS=${CMAKE_CXX_FLAGS}"
                   -DPYTHON=$<$<TARGET_EXISTS:_nlayer>:${Python3_EXECUTABLE}>
                   -DPYTHON_DIR=${NLAYER_PYTHON_SITE_OTHER_PREFIX}
                   -P ${CMAKE_CURRENT_LIST_DIR}/TestInstall.cmake)
  set_tests_properties(install_and_consume PROPERTIES TIMEOUT 300)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nlayer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Time-resolved diffuse reflectance of layered turbid media (programs, C++ library, Python module)")
set(CPACK_PACKAGE_CONTACT "nlayer maintainers <nlayer@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_STRIP_FILES ON)
# The shared libraries the programs and the extension load (Qt, ALGLIB, the C++ runtime).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET _nlayer)
  # The extension is built for one minor version of Python.
  string(REPLACE "." ";" python_version "${NLAYER_PYTHON_VERSION}")
  list(GET python_version 0 python_major)
  list(GET python_version 1 python_minor)
  math(EXPR python_next "${python_minor} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "python3 (>= ${python_major}.${python_minor}), python3 (<< ${python_major}.${python_next}), python3-numpy")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-distributed, python3-tqdm, python3-matplotlib")
endif()
# find_package(nlayer) links ALGLIB and Highway and needs the headers of the C++ runtime's compiler.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libalglib-dev, libhwy-dev, g++, cmake")
include(CPack)
