// A library named "ZelFact.dll" that lacks the CreateComponent export: what the
// module meets when the wrong library carries the framework's name.
