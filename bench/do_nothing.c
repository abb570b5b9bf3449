/* The floor for whole-process timing: a static program that exits at once. */
int main(void) { return 0; }
