# Doxygen's input filter: in the public headers a comment after a member, an
# enumerator or a macro on its own line is that member's description, as the
# headers have always written them. Doxygen reads those as "///<".
/^[[:space:]]*}/!s,^([[:space:]]*[^[:space:]/].*[;,}0-9"])([[:space:]]+)// ,\1\2///< ,
