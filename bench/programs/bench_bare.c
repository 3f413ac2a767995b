/* A bare process start: a console program, linked to msvcrt, that returns
 * at once. */
int main(void) { return 0; }
