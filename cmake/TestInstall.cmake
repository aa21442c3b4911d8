# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... [-DCXX_COMPILER=... -DCXX_FLAGS=...]
#       [-DPYTHON=python3 -DPYTHON_DIR=lib/python3.X/dist-packages] -P TestInstall.cmake
# Installs the build into WORK_DIR/prefix, builds tests/consumer/ against it with
# find_package(nlayer) and runs it on the golden one-layer curve, runs the installed
# nlayer-run, and imports the installed Python package from under the prefix.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    list(JOIN ARGN " " command)
    message(FATAL_ERROR "failed (${status}): ${command}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(file bin/nlayer-run include/nlayer/nlayer.h include/nlayer/reflectance.h lib/libnlayer.a
             lib/cmake/nlayer/nlayerConfig.cmake lib/cmake/nlayer/nlayerConfigVersion.cmake)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${prefix}/${file}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/consumer
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)
run(${WORK_DIR}/consumer/consumer ${SOURCE_DIR}/tests/data/one_layer_reflectance.dat)
message(STATUS "${out}")

# The installed program reads the same model and writes the same curve.
run(${prefix}/bin/nlayer-run --input ${SOURCE_DIR}/examples/one_layer/input.dat --output ${WORK_DIR}/run.dat
    --threads 2)
file(READ ${WORK_DIR}/run.dat written)
file(READ ${SOURCE_DIR}/tests/data/one_layer_reflectance.dat golden)
if(NOT written STREQUAL golden)
  message(FATAL_ERROR "the installed nlayer-run wrote a curve other than the golden one")
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
  message(STATUS "${out}")
endif()
