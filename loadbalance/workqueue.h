// A bounded stack of work values shared by a thread team, drained one value at a
// time through the program's one unnamed critical section.
#pragma once

struct Q {
    int* items;    // room for maxIndex + 1 values, items[0..top] in use
    int top;       // index of the top value, -1 when empty; read atomically
    int maxIndex;  // capacity - 1
};

// A new, empty stack with room for `count` values.
Q* initQ(int count);

// Pushes a random value from 0 to top / 1000 (the new top); on a full stack
// prints an error line on standard output and changes nothing.
void putWork(Q* q);

// Pops the top value; on an empty stack prints an error line on standard output,
// changes nothing and returns -1 (no stored value is negative).
int getWork(Q* q);

bool workExists(Q* q);

void freeQ(Q* q);

// Lets the current thread team pop values until the stack is empty, every pop
// inside the critical section; `taken`, when given, sees each popped value.
// Returns how many values were popped.
int drainQueue(Q* q, void (*taken)(int value) = nullptr);
