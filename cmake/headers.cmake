# Which headers of a library its users see.
#
# A library's users include its public headers as "<folder>/<name>.h" and
# nothing else of its folder: each library gets a directory of its own in
# the build tree holding one forwarding header per public header, and only
# that directory is exported. Headers of the library include each other by
# their bare names. Tests and tools that must look inside a library link
# <library>-private, which adds its private headers the same way (as Qt's
# Core and CorePrivate).

function(zuv_forward_headers directory folder)
    foreach(header IN LISTS ARGN)
        get_filename_component(source "${header}" ABSOLUTE)
        file(GENERATE OUTPUT "${directory}/${folder}/${header}"
             CONTENT "#include \"${source}\"\n")
    endforeach()
endfunction()

# zuv_public_headers(<library> <folder> <header>...)
function(zuv_public_headers library folder)
    set(directory "${CMAKE_BINARY_DIR}/headers/${library}")
    zuv_forward_headers("${directory}" "${folder}" ${ARGN})
    target_include_directories(${library} PUBLIC "${directory}")
endfunction()

# zuv_private_headers(<library> <folder> <header>...)
function(zuv_private_headers library folder)
    set(directory "${CMAKE_BINARY_DIR}/headers/${library}-private")
    zuv_forward_headers("${directory}" "${folder}" ${ARGN})
    add_library(${library}-private INTERFACE)
    target_include_directories(${library}-private INTERFACE "${directory}")
    target_link_libraries(${library}-private INTERFACE ${library})
endfunction()
