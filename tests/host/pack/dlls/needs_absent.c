/* A program that imports absent.dll and delay-loads delayed.dll, neither of
   which exists: packed, it could not start. */
int absent_value(void);
int delayed_value(void);

int main(int argc, char **argv) {
    (void)argv;
    return argc > 5 ? absent_value() + delayed_value() : 0;
}
