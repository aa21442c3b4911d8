# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DLIBDIR=lib/... [-DSHARED=ON]
#       [-DCXX_COMPILER=... -DCXX_FLAGS=...] [-DPKG_CONFIG=pkg-config] [-DMAN_PAGES=1]
#       [-DWINDOW=1 -DDESKTOP_FILE_VALIDATE=...]
#       [-DPYTHON=python3 -DPYTHON_DIR=lib/python3.X/dist-packages] -P TestInstall.cmake
# Installs the build into WORK_DIR/prefix and uses it as its users do: builds tests/consumer/
# (the README's two CMake lines, no C++ standard of its own) and tests/consumer/fit/ against it
# with find_package(nlayer) and runs them, compiles tests/consumer/ a second time with the
# flags of `pkg-config --cflags --libs nlayer`, runs the installed nlayer-run, checks the man
# pages and the desktop entry, and imports the installed Python package from under the prefix.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed (${status}): ${command}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(libdir ${prefix}/${LIBDIR})
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

set(expected bin/nlayer-run bin/nlayer-fit ${LIBDIR}/pkgconfig/nlayer.pc)
foreach(file nlayerConfig.cmake nlayerConfigVersion.cmake nlayerTargets.cmake nlayerFitTargets.cmake
             ALGLIBTarget.cmake)
  list(APPEND expected ${LIBDIR}/cmake/nlayer/${file})
endforeach()
file(GLOB headers RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/include/nlayer/*.h)
list(APPEND expected ${headers})
foreach(library nlayer nlayer_fit)
  if(SHARED)
    # The link name points at the SONAME, which changes with the minor version before 1.0.
    list(APPEND expected ${LIBDIR}/lib${library}.so ${LIBDIR}/lib${library}.so.0.1)
  else()
    list(APPEND expected ${LIBDIR}/lib${library}.a)
  endif()
endforeach()
if(MAN_PAGES)
  list(APPEND expected share/man/man1/nlayer-run.1 share/man/man1/nlayer-fit.1)
  if(PYTHON)
    list(APPEND expected share/man/man1/nlayer-analyze.1)
  endif()
endif()
if(PYTHON)
  list(APPEND expected bin/nlayer-analyze)
endif()
if(PLOT)
  list(APPEND expected ${LIBDIR}/nlayer/libnlayer_plot.so)
endif()
if(WINDOW)
  list(APPEND expected bin/nlayer share/applications/nlayer.desktop share/icons/hicolor/scalable/apps/nlayer.svg)
endif()
foreach(file IN LISTS expected)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${prefix}/${file}")
  endif()
endforeach()
if(SHARED)
  file(READ_SYMLINK ${libdir}/libnlayer.so soname)
  if(NOT soname STREQUAL "libnlayer.so.0.1")
    message(FATAL_ERROR "libnlayer.so points at ${soname}, not at the SONAME libnlayer.so.0.1")
  endif()
endif()

# The exported targets name their dependencies as imported targets, never a path of the
# machine that built them.
file(GLOB exports ${libdir}/cmake/nlayer/nlayer*Targets*.cmake)
foreach(export IN LISTS exports)
  file(STRINGS ${export} links REGEX "INTERFACE_LINK_LIBRARIES")
  if(links MATCHES "/")
    message(FATAL_ERROR "${export} names a library by its path: ${links}")
  endif()
endforeach()

set(golden ${SOURCE_DIR}/tests/data/one_layer_reflectance.dat)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer ${golden})
message(STATUS "find_package(nlayer): ${out}")

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer/fit -B ${WORK_DIR}/fit_consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/fit_consumer)
run(${WORK_DIR}/fit_consumer/fit_consumer)
message(STATUS "find_package(nlayer COMPONENTS fit): ${out}")

if(PKG_CONFIG)
  set(ENV{PKG_CONFIG_PATH} ${libdir}/pkgconfig)
  run(${PKG_CONFIG} --cflags --libs nlayer)
  string(STRIP "${out}" pc_flags)
  message(STATUS "pkg-config --cflags --libs nlayer: ${pc_flags}")
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  separate_arguments(cxx_flags UNIX_COMMAND "${CXX_FLAGS}")
  # pkg-config carries no language standard: the headers need C++20 or later.
  run(${CXX_COMPILER} -std=c++20 ${cxx_flags} ${SOURCE_DIR}/tests/consumer/main.cpp ${pc_flags}
      -o ${WORK_DIR}/pc_consumer)
  set(ENV{LD_LIBRARY_PATH} ${libdir})
  run(${WORK_DIR}/pc_consumer ${golden})
  unset(ENV{LD_LIBRARY_PATH})
  message(STATUS "pkg-config: ${out}")
endif()

# The installed program reads the same model and writes the same curve.
run(${prefix}/bin/nlayer-run --input ${SOURCE_DIR}/examples/one_layer/input.dat --output ${WORK_DIR}/run.dat
    --threads 2)
file(READ ${WORK_DIR}/run.dat written)
file(READ ${golden} golden_text)
if(NOT written STREQUAL golden_text)
  message(FATAL_ERROR "the installed nlayer-run wrote a curve other than the golden one")
endif()
# It finds its plotting module where the installation put it.
if(PLOT)
  run(${prefix}/bin/nlayer-run --input ${SOURCE_DIR}/examples/one_layer/input.dat --output ${WORK_DIR}/run.dat
      --plot ${WORK_DIR}/run.svg)
  file(READ ${WORK_DIR}/run.svg picture LIMIT 4096)
  if(NOT picture MATCHES "<svg")
    message(FATAL_ERROR "the installed nlayer-run --plot wrote no SVG picture")
  endif()
endif()

# The man pages are the programs' own help: every option of it is in the page.
if(MAN_PAGES)
  foreach(program nlayer-run nlayer-fit)
    file(READ ${prefix}/share/man/man1/${program}.1 page)
    string(TOUPPER ${program} title)
    if(NOT page MATCHES "\\.TH \"?${title}\"? \"?1\"?")
      message(FATAL_ERROR "${program}.1 is not a man page of section 1")
    endif()
    run(${prefix}/bin/${program} --help)
    string(REGEX MATCHALL "--[a-z-]+" options "${out}")
    list(REMOVE_DUPLICATES options)
    foreach(option IN LISTS options)
      string(REPLACE "-" "\\\\-" escaped "${option}")
      if(NOT page MATCHES "${escaped}")
        message(FATAL_ERROR "${program}.1 does not mention ${option} of ${program} --help")
      endif()
    endforeach()
  endforeach()
  # A synopsis, which help2man makes of "Usage:" lines only (argparse writes "usage:").
  set(pages nlayer-run nlayer-fit)
  if(PYTHON)
    list(APPEND pages nlayer-analyze)
  endif()
  foreach(program IN LISTS pages)
    file(READ ${prefix}/share/man/man1/${program}.1 page)
    if(NOT page MATCHES "\n\\.SH SYNOPSIS\n\\.B ${program}\n")
      message(FATAL_ERROR "${program}.1 has no synopsis")
    endif()
  endforeach()
endif()

if(WINDOW AND DESKTOP_FILE_VALIDATE)
  run(${DESKTOP_FILE_VALIDATE} ${prefix}/share/applications/nlayer.desktop)
endif()

if(PYTHON)
  set(ENV{PYTHONPATH} ${prefix}/${PYTHON_DIR})
  run(${PYTHON} -c [=[
import os, sys
import nlayer
prefix = sys.argv[1]
assert os.path.realpath(nlayer._nlayer.__file__).startswith(os.path.realpath(prefix)), nlayer._nlayer.__file__
m = nlayer.Medium([nlayer.Layer(musp=1.0, mua=0.01, n=1.4, d=10.0)])
t, r = nlayer.time_resolved(m, rho=20.0)
assert r.shape == (512,) and r.argmax() > 0
print("python", nlayer.__version__, "from", os.path.dirname(nlayer.__file__))
]=] ${prefix})
  # The installed command finds the package under its own prefix, without PYTHONPATH.
  unset(ENV{PYTHONPATH})
  run(${prefix}/bin/nlayer-analyze --version)
  if(NOT out MATCHES "^nlayer-analyze [0-9]")
    message(FATAL_ERROR "nlayer-analyze --version printed: ${out}")
  endif()
  message(STATUS "${out}")
endif()
