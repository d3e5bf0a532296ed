// The group statistics of a file of their own, after the diversity figures
// in the files' columns: the column's name, the function (defined in
// statistics/<function>.cpp) and whether it is a count. Included twice by
// statistics.cpp, for the declarations and the list.
VELMORA_GROUP_STATISTIC("n_no_parents", animals_without_parents, true)
