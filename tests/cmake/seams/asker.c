int answer(void);
int ask(void) { return answer(); }
