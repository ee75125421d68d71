# Network transport, HTTP client, downloads and index loading. Append sources
# with list(APPEND QOR_PKG_SOURCES ...) and libraries with
# list(APPEND QOR_PKG_LIBRARIES ...).
