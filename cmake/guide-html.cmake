# cmake -DCMARK=cmark-gfm -DINPUT=docs/user-guide.md -DOUTPUT=user-guide.html
#       -P cmake/guide-html.cmake
# The user guide as one HTML page for /usr/share/doc and the zip: its
# headings get the ids the guide's own links use (lower case, punctuation
# dropped, spaces as hyphens); links into the source tree (the README) are
# left as plain text, since the tree is not installed.
execute_process(COMMAND ${CMARK} --to html -e table -e autolink ${INPUT}
                OUTPUT_VARIABLE body COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "<h[1-6]>[^\n]*</h[1-6]>" headings "${body}")
foreach(heading IN LISTS headings)
  string(REGEX REPLACE "^<h([1-6])>(.*)</h[1-6]>$" "\\1" level "${heading}")
  string(REGEX REPLACE "^<h[1-6]>(.*)</h[1-6]>$" "\\1" inner "${heading}")
  string(REGEX REPLACE "<[^>]*>" "" slug "${inner}")
  string(TOLOWER "${slug}" slug)
  string(REGEX REPLACE "&[a-z]+;" "" slug "${slug}")
  string(REGEX REPLACE "[^a-z0-9 _-]" "" slug "${slug}")
  string(REPLACE " " "-" slug "${slug}")
  string(REPLACE "${heading}" "<h${level} id=\"${slug}\">${inner}</h${level}>" body "${body}")
  if(NOT title)
    string(REGEX REPLACE "<[^>]*>" "" title "${inner}")
  endif()
endforeach()
string(REGEX REPLACE "<a href=\"\\.\\./[^\"]*\">([^<]*)</a>" "\\1" body "${body}")
file(WRITE ${OUTPUT} "<!DOCTYPE html>
<html lang=\"en\">
<head>
<meta charset=\"utf-8\">
<title>${title}</title>
<style>body{max-width:50em;margin:auto;padding:0 1em;font-family:sans-serif;line-height:1.4}
table{border-collapse:collapse}td,th{border:1px solid #999;padding:.2em .4em;vertical-align:top}
code{background:#eee}img{max-width:100%}</style>
</head>
<body>
${body}</body>
</html>
")
