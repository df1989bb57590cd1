/* Does nothing: measures what it costs Wine to start a program. */
int main(void) { return 0; }
