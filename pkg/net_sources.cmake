# Network transport, HTTP client, downloads and index loading. Append sources
# with list(APPEND QOR_PKG_SOURCES ...) and libraries with
# list(APPEND QOR_PKG_LIBRARIES ...).
list(APPEND QOR_PKG_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/net_transport.cpp
  ${CMAKE_CURRENT_LIST_DIR}/tls_channel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_url.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_response.cpp
  ${CMAKE_CURRENT_LIST_DIR}/http_client.cpp
  ${CMAKE_CURRENT_LIST_DIR}/download.cpp
  ${CMAKE_CURRENT_LIST_DIR}/index_load.cpp
  ${CMAKE_CURRENT_LIST_DIR}/index_signature.cpp
  ${CMAKE_CURRENT_LIST_DIR}/index_trust.cpp
  ${CMAKE_CURRENT_LIST_DIR}/repositories.cpp)
list(APPEND QOR_PKG_LIBRARIES mbedtls mbedx509 mbedcrypto)
