# cpprestsdk from Debian's own source package, with the project's patches
# (third_party/cpprest/patches, applied in name order). It is built once per
# build tree, at configure time, so that find_package sees it like any other
# package; a change to the patches builds it again.
set(RK_CPPREST_PATCH_DIR ${PROJECT_SOURCE_DIR}/third_party/cpprest/patches)
file(GLOB RK_CPPREST_PATCHES ${RK_CPPREST_PATCH_DIR}/*.patch)
list(SORT RK_CPPREST_PATCHES)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${RK_CPPREST_PATCH_DIR} ${RK_CPPREST_PATCHES}
  ${CMAKE_CURRENT_LIST_FILE})

# The same source version as the installed library's, so headers and soname match.
execute_process(COMMAND dpkg-query -W -f=\${source:Version} libcpprest-dev
  OUTPUT_VARIABLE RK_CPPREST_VERSION RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR RK_CPPREST_VERSION STREQUAL "")
  message(FATAL_ERROR "libcpprest-dev is not installed (scripts/ensure-packages.sh installs it)")
endif()

set(RK_CPPREST_FLAGS "-O2 -g")
if(RK_SANITIZER)
  list(JOIN RK_SANITIZER_FLAGS " " sanitizer_flags)
  string(APPEND RK_CPPREST_FLAGS " ${sanitizer_flags}")
endif()

set(stamp_text "${RK_CPPREST_VERSION}|${RK_CPPREST_FLAGS}|${CMAKE_CXX_COMPILER}")
foreach(p ${RK_CPPREST_PATCHES})
  file(SHA256 ${p} h)
  string(APPEND stamp_text "|${h}")
endforeach()
string(SHA256 stamp ${stamp_text})

set(root ${CMAKE_BINARY_DIR}/cpprest)
set(RK_CPPREST_PREFIX ${root}/install)
set(stamp_file ${root}/built.stamp)
set(old_stamp "")
if(EXISTS ${stamp_file})
  file(READ ${stamp_file} old_stamp)
endif()

function(rk_cpprest_run what)
  execute_process(${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "cpprest: ${what} failed:\n${out}")
  endif()
endfunction()

if(NOT old_stamp STREQUAL stamp)
  message(STATUS "cpprest: building Debian's ${RK_CPPREST_VERSION} with ${RK_CPPREST_PATCH_DIR}")
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/fetch)
  # The source package is kept outside the build tree's own cleaning, per version.
  set(cache ${PROJECT_SOURCE_DIR}/.cache/cpprest-${RK_CPPREST_VERSION})
  if(NOT EXISTS ${cache}/done)
    file(REMOVE_RECURSE ${cache})
    file(MAKE_DIRECTORY ${cache})
    rk_cpprest_run("apt-get source cpprest=${RK_CPPREST_VERSION} (scripts/ensure-packages.sh adds the source entry)"
      COMMAND apt-get source -qq --download-only cpprest=${RK_CPPREST_VERSION} WORKING_DIRECTORY ${cache})
    file(TOUCH ${cache}/done)
  endif()
  file(GLOB dsc ${cache}/*.dsc)
  rk_cpprest_run("unpacking" COMMAND dpkg-source --no-check -x ${dsc} ${root}/src WORKING_DIRECTORY ${root}/fetch)
  foreach(p ${RK_CPPREST_PATCHES})
    rk_cpprest_run("applying ${p}" COMMAND patch -p1 --forward --batch -i ${p} WORKING_DIRECTORY ${root}/src)
  endforeach()
  include(ProcessorCount)
  ProcessorCount(jobs)
  if(jobs EQUAL 0)
    set(jobs 4)
  endif()
  # Only the library: no tests, samples, websockets or brotli.
  rk_cpprest_run("configuring"
    COMMAND ${CMAKE_COMMAND} -S ${root}/src -B ${root}/build -G ${CMAKE_GENERATOR}
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER} -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
      "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=${RK_CPPREST_FLAGS}" -DCMAKE_INSTALL_PREFIX=${RK_CPPREST_PREFIX}
      -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_TESTS=OFF -DBUILD_SAMPLES=OFF -DCPPREST_EXCLUDE_WEBSOCKETS=ON
      -DCPPREST_EXCLUDE_BROTLI=ON -DWERROR=OFF -DCPPREST_EXPORT_DIR=cmake/cpprestsdk)
  rk_cpprest_run("building" COMMAND ${CMAKE_COMMAND} --build ${root}/build -j ${jobs} --target install)
  file(WRITE ${stamp_file} ${stamp})
endif()

set(cpprestsdk_DIR ${RK_CPPREST_PREFIX}/lib/cmake/cpprestsdk CACHE PATH "The patched cpprestsdk" FORCE)
find_package(cpprestsdk REQUIRED CONFIG PATHS ${RK_CPPREST_PREFIX} NO_DEFAULT_PATH)
