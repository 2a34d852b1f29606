// The three tasks of the demonstration, of rising priority.
#ifndef ONESTACK_DEMO_TASKS_H
#define ONESTACK_DEMO_TASKS_H

void Task1();
void Task2();
void Task3();

#endif
