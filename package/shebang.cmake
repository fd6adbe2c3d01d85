# Run by cpack on the staged files: a packaged script names Debian's
# python3, which has the modules the package depends on, rather than the
# first python3 on the user's PATH, which may lack them.
set(env "#!/usr/bin/env python3\n")
string(LENGTH "${env}" length)
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER programs INCLUDE REGEX "/bin/[^/]+$")
foreach(program IN LISTS programs)
  # Only the first bytes: a binary would not survive file(READ) whole.
  file(READ "${program}" head LIMIT ${length})
  if(head STREQUAL env)
    file(READ "${program}" text)
    string(SUBSTRING "${text}" ${length} -1 text)
    file(WRITE "${program}" "#!/usr/bin/python3\n${text}")
  endif()
endforeach()
