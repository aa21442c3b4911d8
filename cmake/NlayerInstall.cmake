# `cmake --install <build> --prefix P`: the programs into P/bin with their man pages, the window's
# desktop entry and icon (when it is built), libnlayer and libnlayer_fit (static, or shared with
# -DNLAYER_SHARED=ON) into P/<libdir> (lib/x86_64-linux-gnu on Debian) with every public header,
# a CMake package configuration (find_package(nlayer): nlayer::nlayer, nlayer::fit) and a
# pkg-config file, and the Python package where python3 looks under P (python/CMakeLists.txt).
# `cpack -G DEB` in the build directory packs the same for /usr.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(programs nlayer-run nlayer-fit)
if(TARGET nlayer)
  list(APPEND programs nlayer)
endif()
install(TARGETS ${programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Shared libraries are found relative to what loads them, so that any prefix works (under /usr
# the path is the system's library folder anyway).
if(NLAYER_SHARED)
  file(RELATIVE_PATH bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(${programs} PROPERTIES INSTALL_RPATH "$ORIGIN/${bin_to_lib}")
  if(TARGET _nlayer)
    # The package lies in <site>/nlayer, <site> being e.g. lib/python3/dist-packages.
    file(RELATIVE_PATH module_to_lib /${NLAYER_PYTHON_SITE_OTHER_PREFIX}/nlayer /${CMAKE_INSTALL_LIBDIR})
    set_target_properties(_nlayer PROPERTIES INSTALL_RPATH "$ORIGIN/${module_to_lib}")
  endif()
endif()

# The libraries, each in an export set of its own: nlayer::fit (and Ceres) only for those who
# ask for the component.
set(NLAYER_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/nlayer)
install(TARGETS nlayer_lib EXPORT nlayerTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS nlayer_fit EXPORT nlayerFitTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/nlayer DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
# The literature's data the library compiles in, with its sources in each file's header.
install(FILES ${CMAKE_SOURCE_DIR}/data/hemoglobin_prahl.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/nlayer)
install(EXPORT nlayerTargets NAMESPACE nlayer:: DESTINATION ${NLAYER_CMAKE_INSTALL_DIR})
install(EXPORT nlayerFitTargets NAMESPACE nlayer:: DESTINATION ${NLAYER_CMAKE_INSTALL_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/nlayerConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/nlayerConfig.cmake
                              INSTALL_DESTINATION ${NLAYER_CMAKE_INSTALL_DIR})
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/nlayerConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/nlayerConfig.cmake ${CMAKE_BINARY_DIR}/nlayerConfigVersion.cmake
              ${CMAKE_CURRENT_LIST_DIR}/ALGLIBTarget.cmake
        DESTINATION ${NLAYER_CMAKE_INSTALL_DIR})

# pkg-config: `pkg-config --cflags --libs nlayer`. A static libnlayer.a needs its dependencies
# on every link line; a shared one only when linking statically. The prefix is the one
# installed into (--prefix, or /usr in the .deb), known only at install time.
set(dependency_libs "-lalglib -lhwy -pthread")
if(NLAYER_SHARED)
  set(NLAYER_PC_LIBS "")
  set(NLAYER_PC_LIBS_PRIVATE "${dependency_libs}")
else()
  set(NLAYER_PC_LIBS "${dependency_libs}")
  set(NLAYER_PC_LIBS_PRIVATE "")
endif()
set(pc_prefix "@pc_prefix@")
configure_file(${CMAKE_CURRENT_LIST_DIR}/nlayer.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/nlayer.pc.in @ONLY)
install(CODE "
  set(pc_prefix \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_BINARY_DIR}/pkgconfig/nlayer.pc.in\" \"${CMAKE_BINARY_DIR}/pkgconfig/nlayer.pc\" @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/nlayer.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Man pages of the command lines, made at build time by help2man from their own --help and
# --version, so that they cannot fall behind the programs.
# Not in sanitized builds, which are not installed and whose programs would run instrumented.
find_program(HELP2MAN help2man)
set(man_pages)
if(HELP2MAN AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  set(man_name_nlayer-run "compute the time-resolved diffuse reflectance of a layered turbid medium")
  set(man_name_nlayer-fit "fit optical properties of a layered medium to a measured time-resolved curve")
  foreach(program nlayer-run nlayer-fit)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                       COMMAND ${HELP2MAN} --no-info --section=1 "--name=${man_name_${program}}"
                               --output=${page} $<TARGET_FILE:${program}>
                       DEPENDS ${program}
                       COMMENT "Writing the man page ${program}.1"
                       VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  if(TARGET _nlayer)
    # The Python package's command, run from the build as help2man calls it. help2man takes the
    # synopsis from "Usage:" lines only; argparse writes "usage:" and wraps that one line, which
    # then landed in the page's description. Through this filter it is one "Usage:" line.
    set(help_filter ${CMAKE_BINARY_DIR}/man/nlayer-analyze-help)
    file(CONFIGURE OUTPUT ${help_filter} @ONLY CONTENT [=[#!/bin/sh
help=$("@NLAYER_ANALYZE@" "$@") || exit
printf '%s\n' "$help" | awk '
  NR == 1 && /^usage: / { line = "Usage: " substr($0, 8); joining = 1; next }
  joining && /^ +[^ ]/ { sub(/^ +/, ""); line = line " " $0; next }
  joining { print line; joining = 0 }
  { print }
  END { if (joining) print line }'
]=])
    file(CHMOD ${help_filter} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                          WORLD_READ WORLD_EXECUTE)
    set(page ${CMAKE_BINARY_DIR}/man/nlayer-analyze.1)
    add_custom_command(OUTPUT ${page}
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
                       COMMAND ${HELP2MAN} --no-info --section=1
                               "--name=hemoglobin changes per layer from a time-domain NIRS recording"
                               --output=${page} ${help_filter}
                       DEPENDS nlayer_python ${CMAKE_SOURCE_DIR}/python/nlayer/_analyze.py ${help_filter}
                       COMMENT "Writing the man page nlayer-analyze.1"
                       VERBATIM)
    list(APPEND man_pages ${page})
  endif()
  add_custom_target(man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "No man pages for the command lines (help2man not found, or a sanitized build)")
endif()

# The window in the desktop's menu.
if(TARGET nlayer)
  install(FILES ${CMAKE_SOURCE_DIR}/ui/nlayer.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${CMAKE_SOURCE_DIR}/ui/nlayer.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()

# Installs into a scratch prefix, builds tests/consumer/ (and tests/consumer/fit/) against it
# with find_package, and a program with pkg-config, runs them, runs the installed nlayer-run
# and imports the installed Python package.
if(NLAYER_BUILD_TESTS)
  find_program(PKG_CONFIG_EXECUTABLE pkg-config)
  find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
  add_test(NAME install_and_consume
           COMMAND ${CMAKE_COMMAND}
                   -DBUILD_DIR=${CMAKE_BINARY_DIR}
                   -DSOURCE_DIR=${CMAKE_SOURCE_DIR}
                   -DWORK_DIR=${CMAKE_BINARY_DIR}/consumer-test
                   -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
                   -DSHARED=${NLAYER_SHARED}
                   -DCXX_COMPILER=${CMAKE_CXX_COMPILER}
                   "-DCXX_FLAGS=${CMAKE_CXX_FLAGS}"
                   -DPKG_CONFIG=${PKG_CONFIG_EXECUTABLE}
                   -DMAN_PAGES=$<TARGET_EXISTS:man_pages>
                   -DWINDOW=$<TARGET_EXISTS:nlayer>
                   -DPLOT=$<TARGET_EXISTS:nlayer_plot_module>
                   -DDESKTOP_FILE_VALIDATE=${DESKTOP_FILE_VALIDATE}
                   -DPYTHON=$<$<TARGET_EXISTS:_nlayer>:${Python3_EXECUTABLE}>
                   -DPYTHON_DIR=${NLAYER_PYTHON_SITE_OTHER_PREFIX}
                   -P ${CMAKE_CURRENT_LIST_DIR}/TestInstall.cmake)
  set_tests_properties(install_and_consume PROPERTIES TIMEOUT 600 LABELS slow)
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
# The shared libraries the programs and the extension load (Qt, ALGLIB, the C++ runtime), and
# with -DNLAYER_SHARED=ON a shlibs file for libnlayer and libnlayer_fit.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(NLAYER_SHARED)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
endif()
if(TARGET _nlayer)
  # The extension is built for one minor version of Python.
  string(REPLACE "." ";" python_version "${NLAYER_PYTHON_VERSION}")
  list(GET python_version 0 python_major)
  list(GET python_version 1 python_minor)
  math(EXPR python_next "${python_minor} + 1")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "python3 (>= ${python_major}.${python_minor}), python3 (<< ${python_major}.${python_next}), python3-numpy")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-distributed, python3-tqdm, python3-matplotlib, python3-h5py")
endif()
# find_package(nlayer) finds ALGLIB, Highway (and for nlayer::fit Ceres) and needs the headers
# of the C++ runtime's compiler; pkg-config reads nlayer.pc.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libalglib-dev, libhwy-dev, libceres-dev, g++, cmake, pkg-config")
include(CPack)
