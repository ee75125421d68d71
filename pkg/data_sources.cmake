# Index parser, SHA-256 and dependency resolution. Append sources with
# list(APPEND QOR_PKG_SOURCES ${CMAKE_CURRENT_LIST_DIR}/file.cpp).
list(APPEND QOR_PKG_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/json_scan.cpp
  ${CMAKE_CURRENT_LIST_DIR}/index_parse.cpp
  ${CMAKE_CURRENT_LIST_DIR}/index_lookup.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sha256.cpp
  ${CMAKE_CURRENT_LIST_DIR}/resolve.cpp)
