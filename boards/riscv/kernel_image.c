/* The kernel's objects, all linked: see CMakeLists.txt. */
int main(void) { return 0; }
