# Board link tests: words to wire bytes, answers to text, prompt, dispatcher.
