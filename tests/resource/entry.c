/* The code of the version-resource fixtures: they are read, never run. */
int entry(void) {
    return 0;
}
