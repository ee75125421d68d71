# Package installation and the extraction runner. They unpack archives with
# the extractor in process when no extract program can be started, so the
# package core links it.
list(APPEND QOR_PKG_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/extract_runner.cpp
  ${CMAKE_CURRENT_LIST_DIR}/package_install.cpp
  ${CMAKE_CURRENT_LIST_DIR}/dir_listing.cpp
  ${CMAKE_CURRENT_LIST_DIR}/package_records.cpp
  ${CMAKE_CURRENT_LIST_DIR}/package_store.cpp
  ${CMAKE_CURRENT_LIST_DIR}/package_changes.cpp
  ${CMAKE_CURRENT_LIST_DIR}/archive_listing.cpp)
list(APPEND QOR_PKG_LIBRARIES qor_extract)
