# Third-party code, all from Debian's packages (tools/setup.sh installs them).

# boost::any is header-only. MinGW must see only the boost folder: putting /usr/include
# itself on its include path would pull in glibc's headers.
set(BOOST_INCLUDE_SHIM ${CMAKE_BINARY_DIR}/boost-include)
file(MAKE_DIRECTORY ${BOOST_INCLUDE_SHIM})
file(CREATE_LINK /usr/include/boost ${BOOST_INCLUDE_SHIM}/boost SYMBOLIC)
add_library(boost_headers INTERFACE)
target_include_directories(boost_headers SYSTEM INTERFACE ${BOOST_INCLUDE_SHIM})

# pugixml: the host links Debian's library; MinGW compiles the same version from
# Debian's source package, unpacked by tools/setup.sh.
if(WIN32)
  set(PUGIXML_SOURCE_DIR ${CMAKE_SOURCE_DIR}/.cache/deps/pugixml CACHE PATH "Unpacked pugixml source package")
  if(NOT EXISTS ${PUGIXML_SOURCE_DIR}/src/pugixml.cpp)
    message(FATAL_ERROR "pugixml sources missing in ${PUGIXML_SOURCE_DIR}: run tools/setup.sh")
  endif()
  add_library(pugixml STATIC ${PUGIXML_SOURCE_DIR}/src/pugixml.cpp)
  target_include_directories(pugixml SYSTEM PUBLIC ${PUGIXML_SOURCE_DIR}/src)
else()
  find_package(pugixml CONFIG REQUIRED)  # defines the target pugixml
endif()

# GoogleTest from the sources Debian ships, built with this build's own compiler.
if(WIN32)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
