// The group statistics in the order of the files' columns: the column's
// name and the function (defined in a file of its own here) that computes
// it. Included twice by statistics.cpp, for the declarations and the list.
VELMORA_GROUP_STATISTIC("n", animals_in_group)
VELMORA_GROUP_STATISTIC("mean_inbreeding", mean_inbreeding)
VELMORA_GROUP_STATISTIC("mean_relationship_within", mean_relationship_within)
