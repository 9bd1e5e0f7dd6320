/* The code part of the version test libraries: nothing but their version resource matters. */
int orv_version_test_file;
