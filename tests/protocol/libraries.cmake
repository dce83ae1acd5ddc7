# The milter-protocol client and the helpers that run a filter binary and
# compute expected tags. Shared by the protocol tests and the daemon
# benchmark, whichever of the two is configured first.
if(NOT TARGET milter_client)
  add_library(milter_client STATIC ${CMAKE_CURRENT_LIST_DIR}/milter_client.cpp)
  target_include_directories(milter_client PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(milter_client PUBLIC milter_headers)

  add_library(protocol_support STATIC
    ${CMAKE_CURRENT_LIST_DIR}/filter_process.cpp
    ${CMAKE_CURRENT_LIST_DIR}/prvs_oracle.cpp)
  target_include_directories(protocol_support PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(protocol_support PUBLIC milter_client OpenSSL::Crypto Threads::Threads)
endif()
