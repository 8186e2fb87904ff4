# Writes the installed headers into OUT/morvenak/ from the headers of the
# source tree: each public header under the name morvenak/NAME, its includes
# of the other public headers rewritten to those names. Stops when a public
# header includes anything else than the standard library and the public
# headers, since a user has only PREFIX/include.
#   cmake -DSRC=<src/> -DOUT=<dir> -P public-headers.cmake
# The public headers, as the engine includes them, and their installed names.
set(internal "morvenak/analysis.hpp" "core/model.hpp")
set(public "morvenak/analysis.hpp" "morvenak/model.hpp")
set(layer_dirs "api" "core")

list(LENGTH internal count)
math(EXPR last "${count} - 1")
foreach(i RANGE ${last})
  list(GET internal ${i} from)
  list(GET layer_dirs ${i} layer)
  list(GET public ${i} to)
  file(READ ${SRC}/${layer}/${from} text)
  foreach(j RANGE ${last})
    list(GET internal ${j} other_from)
    list(GET public ${j} other_to)
    string(REPLACE "\"${other_from}\"" "\"${other_to}\"" text "${text}")
    # The comments' mentions of a public header name it as a user includes it.
    string(REGEX REPLACE "([ (])${other_from}([ .,)\n])" "\\1${other_to}\\2" text "${text}")
  endforeach()
  string(REGEX MATCHALL "#[ \t]*include[^\n]*" includes "${text}")
  foreach(include ${includes})
    if(include MATCHES "^#[ \t]*include[ \t]*<[a-z_]+>[ \t]*(//.*)?$")
      continue()
    endif()
    set(allowed FALSE)
    foreach(name ${public})
      if(include MATCHES "^#[ \t]*include[ \t]*\"${name}\"[ \t]*(//.*)?$")
        set(allowed TRUE)
      endif()
    endforeach()
    if(NOT allowed)
      message(FATAL_ERROR "src/${layer}/${from}: '${include}' is neither a standard header nor a public one "
                          "(${public}); an installed header may include only those")
    endif()
  endforeach()
  file(WRITE ${OUT}/${to} "${text}")
endforeach()
