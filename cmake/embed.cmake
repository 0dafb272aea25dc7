# The entries of the embedding tool (tools/studio/embed.cpp): NAME=FILE, the
# name being the file's own under a prefix. Shared by texgen's studio and the
# in-browser worker, which embed some of the same files.
function(tex_embed_entries var prefix)
  set(entries ${${var}})
  foreach(file IN LISTS ARGN)
    get_filename_component(name ${file} NAME)
    list(APPEND entries "${prefix}${name}=${file}")
  endforeach()
  set(${var} ${entries} PARENT_SCOPE)
endfunction()
