# Installs the build into a scratch prefix, builds the consumer project
# against it (CMake package and pkg-config, OpenGL packages made unfindable)
# and runs the result; checks that nothing of OpenGL reaches its compile or
# link lines and that the installed programs find their libraries.
file(REMOVE_RECURSE ${WORK})
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN}\n${out}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()
set(prefix ${WORK}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/lib/pkgconfig
  ${CMAKE_COMMAND} -S ${CONSUMER} -B ${WORK}/build -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
  -DCMAKE_DISABLE_FIND_PACKAGE_OpenGL=ON -DCMAKE_DISABLE_FIND_PACKAGE_GLEW=ON -DCMAKE_DISABLE_FIND_PACKAGE_glfw3=ON)
run(${CMAKE_COMMAND} --build ${WORK}/build)

foreach(exe consumer consumer_pc)
  run(${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${prefix}/lib ${WORK}/build/${exe})
  if(NOT out MATCHES "refused before set_param: 2" OR NOT out MATCHES ": same" OR NOT out MATCHES "laser frame: 0, points out")
    message(FATAL_ERROR "unexpected ${exe} output: ${out}")
  endif()
endforeach()

file(READ ${WORK}/build/compile_commands.json commands)
file(GLOB_RECURSE link_files ${WORK}/build/build.ninja ${WORK}/build/*link.txt)
foreach(f IN LISTS link_files)
  file(READ ${f} text)
  string(APPEND commands "${text}")
endforeach()
string(REGEX MATCH "[^ ]*(libGL|libEGL|libGLEW|libglfw|-lGL|-lEGL|-lGLEW|-lglfw)[^ ]*" gl "${commands}")
if(gl)
  message(FATAL_ERROR "the consumer's build names OpenGL: ${gl}")
endif()

# Installed headers reach each other under the one include root only.
file(GLOB_RECURSE installed ${prefix}/include/TavoAlgorithm/*.h)
foreach(h IN LISTS installed)
  file(STRINGS ${h} lines REGEX "#include \"(common|grid|laser|geometry|meshproc)/")
  if(lines)
    message(FATAL_ERROR "${h} still includes ${lines}")
  endif()
endforeach()

# Installed programs load without LD_LIBRARY_PATH.
if(EXISTS ${prefix}/bin/fusion_demo)
  run(ldd ${prefix}/bin/fusion_demo)
  if(out MATCHES "not found" OR NOT out MATCHES "${prefix}/bin/\\.\\./lib/libTavoGeometry")
    message(FATAL_ERROR "installed fusion_demo does not find its libraries:\n${out}")
  endif()
endif()
