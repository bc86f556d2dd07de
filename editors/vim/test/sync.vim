" A remark longer than any screen, looked at from below first, as a jump
" to the end of the file does: its last lines must still be remark text,
" and the statement after it code. Exits with an error when they are not.
set nocompatible
let &runtimepath = fnamemodify(expand('<sfile>:p'), ':h:h') . ',' . &runtimepath
filetype on
syntax on
enew
call setline(1, ["' \"a remark"] + repeat(['over many lines, int x; P(x);'], 500) + ["end\" ';", 'int x;'])
set filetype=rill
let s:inside = synIDattr(synID(line('$') - 2, 20, 1), 'name')
let s:after = synIDattr(synID(line('$'), 1, 1), 'name')
if s:inside !=# 'rillRemarkText' || s:after !=# 'rillType'
  echoerr 'remark line: ' . s:inside . ', line after: ' . s:after
  cquit!
endif
qall!
