" Writes the syntax group of every byte of g:rill_file into g:rill_out, one
" line of space-separated group names per source line ('-' for none), using
" the syntax files beside this folder.
set nocompatible
let &runtimepath = fnamemodify(expand('<sfile>:p'), ':h:h') . ',' . &runtimepath
filetype on
syntax on
execute 'edit ' . fnameescape(g:rill_file)
set filetype=rill
let s:out = []
for s:l in range(1, line('$'))
  let s:names = []
  for s:c in range(1, len(getline(s:l)))
    let s:name = synIDattr(synID(s:l, s:c, 1), 'name')
    call add(s:names, s:name ==# '' ? '-' : s:name)
  endfor
  call add(s:out, join(s:names))
endfor
call writefile(s:out, g:rill_out)
qall!
