/* The program that every launch figure starts: it exits at once, so that
 * what is timed is the launcher's work and the exec alone. */
int main(void) { return 0; }
