# Index parser, SHA-256 and dependency resolution. Append sources with
# list(APPEND QOR_PKG_SOURCES ${CMAKE_CURRENT_LIST_DIR}/file.cpp).
